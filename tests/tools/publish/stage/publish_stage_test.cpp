// Staged releases: the publisher's rules and links, interrupted commands, and 1,000 players
// through the shipped Varnish edge and nginx origin.
#include "keys/crypto.h"
#include "stage/cohort.h"
#include "stage/stage_state.h"
#include "tool_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <filesystem>
#include <thread>
#include <sys/stat.h>
#include <unistd.h>

namespace {

class PublishStage : public ::testing::Test {
protected:
    TempDir dir;

    void SetUp() override {
        ASSERT_TRUE(PrepareSiteFolder(dir));
    }
    CommandResult Publish(uint64_t serial, const std::string& site = "") {
        return RunTool({"publish", "--key", dir / "k.pem", "--serial", std::to_string(serial), dir / "rel",
                        site.empty() ? dir / "srv" : site});
    }
    CommandResult Stage(uint64_t serial, int share, const std::vector<std::string>& extra = {}) {
        std::vector<std::string> args = {"stage", "--key", dir / "k.pem", "--serial", std::to_string(serial),
                                         "--share", std::to_string(share)};
        args.insert(args.end(), extra.begin(), extra.end());
        args.push_back(dir / "rel");
        args.push_back(dir / "srv");
        return RunTool(args);
    }
    static time_t MtimeOf(const std::string& path) {
        struct stat st;
        return stat(path.c_str(), &st) == 0 ? st.st_mtim.tv_sec : 0;
    }
};

// The serial each bucket link of the site at site serves now, followed as nginx follows it.
std::vector<uint64_t> BucketSerials(const std::string& site) {
    std::vector<uint64_t> serials;
    for (int bucket = 0; bucket < kBuckets; ++bucket) {
        char name[8];
        std::snprintf(name, sizeof name, "/%02d", bucket);
        std::string text = ReadFileText(site + ".cohorts" + name + "/manifest.txt");
        serials.push_back(text.compare(0, 7, "serial ") == 0 ? std::strtoull(text.c_str() + 7, nullptr, 10) : 0);
    }
    return serials;
}

bool Exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

int Count(const std::vector<uint64_t>& serials, uint64_t serial) {
    int count = 0;
    for (uint64_t each : serials) count += each == serial;
    return count;
}

// Names in folder containing ".tmp-": what an interrupted run left and no later one removed.
std::vector<std::string> Leftovers(const std::string& folder) {
    std::vector<std::string> names;
    if (DIR* handle = opendir(folder.c_str())) {
        while (dirent* entry = readdir(handle))
            if (std::string(entry->d_name).find(".tmp-") != std::string::npos) names.push_back(entry->d_name);
        closedir(handle);
    }
    return names;
}

TEST_F(PublishStage, CommandsKeepEveryPlayerOnTheSameOrAHigherSerial) {
    WriteFileText(dir / "rel/data/a.pak", std::string(5000, 'a'));
    WriteFileText(dir / "rel/data/b.pak", std::string(5000, 'b'));
    AgeTree(dir / "rel");
    CommandResult early = Stage(2, 5);
    EXPECT_NE(early.err.find("publish a live release first"), std::string::npos) << early.err;
    EXPECT_FALSE(Exists(dir / "srv.stage-state"));
    ASSERT_EQ(Publish(1).exitCode, 0);
    EXPECT_EQ(Count(BucketSerials(dir / "srv"), 1), 100);  // a site without a stage works as before
    EXPECT_NE(Stage(1, 5).err.find("a stage must be above the live serial 1"), std::string::npos);

    // New bodies of a stage outrun every body of both trees, even one whose time lies ahead.
    WriteFileText(dir / "rel/data/a.pak", std::string(5000, 'A'));
    ASSERT_EQ(RunCommand({"touch", "-d", "+100 seconds", dir / "srv/manifest.txt"}).exitCode, 0);
    CommandResult staged = Stage(3, 5, {"--salt", "7"});
    ASSERT_EQ(staged.exitCode, 0) << staged.err;
    EXPECT_NE(staged.out.find("staged serial 3 for 5 % of the players (5 of 100 buckets, salt 7)"),
              std::string::npos) << staged.out;
    EXPECT_EQ(InodeOf(dir / "srv.stage/files/data/b.pak"), InodeOf(dir / "srv/files/data/b.pak"));
    EXPECT_EQ(Count(BucketSerials(dir / "srv"), 3), 5);
    EXPECT_EQ(ReadFileText(dir / "srv.cohorts/stage/manifest.txt").substr(0, 34), "serial 3 blocks=patch min=1048576\n");
    EXPECT_NE(RunTool({"status", dir / "srv"}).out.find("stage: serial 3 for 5 % of the players, salt 7"),
              std::string::npos);

    const std::pair<CommandResult, const char*> refusals[] = {
        {RunTool({"widen", "--share", "4", dir / "srv"}), "the share only grows"},
        {Stage(4, 4), "the share only grows"},
        {Stage(4, 5, {"--salt", "8"}), "the salt is fixed while a stage is open (it is 7)"},
        {Stage(2, 5), "serial 3 is staged; a new stage needs a higher serial"},
        {Publish(3), "serial 3 is staged; promote it"},
        {RunTool({"stage", "--key", dir / "k.pem", "--serial", "9", "--share", "5", dir / "rel", dir / "x.stage"}),
         "a live folder with that ending cannot have a stage"},
    };
    for (const auto& refusal : refusals) {
        EXPECT_EQ(refusal.first.exitCode, 1);
        EXPECT_NE(refusal.first.err.find(refusal.second), std::string::npos) << refusal.first.err;
    }
    // Re-runs of work that is done end well and say so, as a pipeline that retries expects.
    CommandResult again = Stage(3, 5);
    EXPECT_EQ(again.exitCode, 0) << again.err;
    EXPECT_NE(again.out.find("it was staged with these contents already"), std::string::npos) << again.out;
    CommandResult same = RunTool({"widen", "--share", "5", dir / "srv"});
    EXPECT_EQ(same.exitCode, 0) << same.err;
    EXPECT_NE(same.out.find("reaches 5 % of the players already; nothing to do"), std::string::npos) << same.out;
    // A live release below the stage leaves it open; its new bodies outrun the stage's too.
    const time_t stagedA = MtimeOf(dir / "srv.stage/files/data/a.pak");
    WriteFileText(dir / "rel/data/a.pak", std::string(5000, 'L'));
    CommandResult below = Publish(2);
    EXPECT_NE(below.out.find("the stage of serial 3 stays open for 5 %"), std::string::npos) << below.out;
    const time_t liveA = MtimeOf(dir / "srv/files/data/a.pak");
    EXPECT_GT(liveA, stagedA);
    WriteFileText(dir / "rel/data/a.pak", std::string(5000, 'S'));
    ASSERT_EQ(Stage(4, 5).exitCode, 0);
    EXPECT_GT(MtimeOf(dir / "srv.stage/files/data/a.pak"), liveA);

    CommandResult wider = RunTool({"widen", "--share", "30", dir / "srv"});
    EXPECT_NE(wider.out.find("reaches 30 % of the players: 25 bucket(s) moved"), std::string::npos) << wider.out;
    EXPECT_EQ(Count(BucketSerials(dir / "srv"), 4), 30);
    const unsigned long stagedInode = InodeOf(dir / "srv.stage/files/data/a.pak");
    CommandResult promoted = RunTool({"promote", dir / "srv"});
    EXPECT_NE(promoted.out.find("promoted serial 4"), std::string::npos) << promoted.out << promoted.err;
    EXPECT_EQ(Count(BucketSerials(dir / "srv"), 4), 100);
    EXPECT_EQ(InodeOf(dir / "srv/files/data/a.pak"), stagedInode);
    EXPECT_EQ(RunTool({"status", dir / "srv"}).out, "live:  serial 4\nstage: none\n");
    EXPECT_EQ(RunTool({"verify", "--key", dir / "k.pub.pem", dir / "srv"}).exitCode, 0);

    // A forward fix while a stage is open: the live tree first, then every bucket follows it.
    WriteFileText(dir / "rel/data/b.pak", "broken");
    ASSERT_EQ(Stage(5, 10).exitCode, 0);
    WriteFileText(dir / "rel/data/b.pak", "fixed");
    CommandResult fix = Publish(6);
    EXPECT_NE(fix.out.find("the stage of serial 5 is closed: every player gets serial 6 now"), std::string::npos)
        << fix.out << fix.err;
    EXPECT_EQ(Count(BucketSerials(dir / "srv"), 6), 100);
    EXPECT_FALSE(Exists(dir / "srv.stage"));
    EXPECT_FALSE(Exists(dir / "srv.stage-state"));
}

// Disk calls an error campaign fails, reads included.
const char* const kErrorCalls[] = {"openat", "read",  "getdents64", "newfstatat", "write", "rename", "renameat2",
                                   "symlink", "unlink", "mkdir",     "link",       "linkat", "fsync"};

// One crash campaign: runs args (SITE, KEY and REL stand for the copy's server folder, the key
// and the release) on a fresh copy of the site in base, killed at the when-th call of each kind
// in turn until the command ends by itself, or with errors: failed with EIO and ENOSPC at every
// disk call (reads included) until a call never comes that often; the test command's sample
// fails every call of everyErrorOf with EIO and the first of each other call. After each point no
// bucket serves a lower serial than before; the next run of the command (or its refusal) leaves
// finalCount buckets on finalSerial and nothing of the interrupted run. Returns the points tried.
int KillAtEveryCall(const TempDir& dir, const std::string& base, const std::vector<std::string>& args,
                    uint64_t finalSerial, int finalCount, const std::string& name, bool errors = false,
                    const std::string& everyErrorOf = "") {
    const char* sweep = std::getenv("QUILLOR_CRASH_SWEEP");
    const bool full = sweep != nullptr && std::string(sweep) == "full";
    std::vector<std::string> calls = {"rename", "renameat2", "symlink", "unlink"}, faults = {"signal=KILL"};
    if (errors) {
        calls.assign(std::begin(kErrorCalls), std::end(kErrorCalls));
        faults = full ? std::vector<std::string>{"error=EIO", "error=ENOSPC"} : std::vector<std::string>{"error=EIO"};
    }
    int points = 0, broken = 0;
    for (const std::string& call : calls) {
        bool reached = true;
        for (int when = 1; when < 1000 && reached; ++when) {
            for (const std::string& fault : faults) {
                const std::string point = name + ", " + call + " #" + std::to_string(when) + " " + fault;
                TempDir work, logs;
                std::error_code failed;
                std::filesystem::copy(base, work.Path(),
                                      std::filesystem::copy_options::recursive |
                                          std::filesystem::copy_options::copy_symlinks,
                                      failed);
                std::vector<std::string> command;
                for (const std::string& arg : args)
                    command.push_back(arg == "SITE" ? work / "srv" : arg == "KEY" ? dir / "k.pem" : arg == "REL" ? dir / "rel" : arg);
                std::vector<uint64_t> before = BucketSerials(work / "srv");
                std::vector<std::string> traced = {"strace", "-f", "-qq", "-o", logs / "trace", "-e", "trace=" + call,
                                                   "-e", "inject=" + call + ":" + fault + ":when=" + std::to_string(when),
                                                   QUILLOR_PUBLISH_EXE};
                traced.insert(traced.end(), command.begin(), command.end());
                CommandResult killed = RunCommand(traced);
                std::vector<uint64_t> after = BucketSerials(work / "srv");
                CommandResult again = RunTool(command);  // again to its end, or done already: either way it says so
                EXPECT_EQ(again.exitCode, 0) << point << ": " << again.out << again.err;
                std::vector<uint64_t> settled = BucketSerials(work / "srv");
                bool down = false;
                for (int bucket = 0; bucket < kBuckets; ++bucket)
                    down = down || after[bucket] < before[bucket] || settled[bucket] < after[bucket];
                EXPECT_FALSE(failed) << failed.message();
                EXPECT_FALSE(down) << point << ": a bucket went to a lower serial";
                EXPECT_EQ(Count(settled, finalSerial), finalCount) << point;
                EXPECT_EQ(Leftovers(work.Path()), std::vector<std::string>{}) << point;
                EXPECT_EQ(Leftovers(work / "srv.cohorts"), std::vector<std::string>{}) << point;
                EXPECT_NE(killed.exitCode, -1) << point << ": did not end within its time";
                broken += again.exitCode != 0 || down || Count(settled, finalSerial) != finalCount ||
                          !Leftovers(work.Path()).empty() || !Leftovers(work / "srv.cohorts").empty() ||
                          killed.exitCode == -1;
                // The call never came that often: all tried.
                reached = (errors ? ReadFileText(logs / "trace").find("(INJECTED)") != std::string::npos
                                  : killed.exitCode != 0) &&
                          !failed && !down;
                if (!reached) break;
                ++points;
            }
            if (errors && !full && call != everyErrorOf) break;
        }
    }
    std::printf("crash campaign, %s: %d %s points tried, %d broke an invariant\n", name.c_str(), points,
                errors ? "error" : "kill", broken);
    return points;
}

// A folder named like a stage tree is another site's unless it bears the publisher's mark: no
// command of this site removes, retires or stages into it, and a refusal before the first publish
// leaves nothing behind, not even a lock.
TEST_F(PublishStage, AFolderTheStageCommandsDidNotMakeIsNeverTouched) {
    WriteFileText(dir / "rel/data/a.pak", "one");
    AgeTree(dir / "rel");
    ASSERT_EQ(Publish(3, dir / "game.stage").exitCode, 0);  // a site of its own, before "game" exists
    struct Case {
        std::vector<std::string> args;
        int exitCode;
        const char* message;
    };
    const std::string key = dir / "k.pem", rel = dir / "rel", game = dir / "game", none = dir / "none";
    const Case cases[] = {
        {{"stage", "--key", key, "--serial", "2", "--share", "5", rel, none}, 1, "publish a live release first"},
        {{"widen", "--share", "5", none}, 1, "nothing was ever published there"},
        {{"promote", none}, 1, "nothing was ever published there"},
        {{"publish", "--key", key, "--serial", "5", rel, game}, 0, "published serial 5"},
        {{"stage", "--key", key, "--serial", "6", "--share", "5", rel, game}, 1, "lacks the mark .quillor-stage"},
        {{"status", game}, 0, "lacks the mark"},
        {{"widen", "--share", "5", game}, 1, "no stage is open"},
        {{"promote", game}, 1, "no stage is open"},
        {{"publish", "--key", key, "--serial", "6", rel, game}, 0, "published serial 6"},
        {{"publish", "--key", key, "--serial", "4", rel, dir / "game.stage"}, 1, "the name of its stage tree"},
    };
    for (const Case& test : cases) {
        CommandResult result = RunTool(test.args);
        EXPECT_EQ(result.exitCode, test.exitCode) << test.args[0] << " " << test.args.back() << ": " << result.err;
        EXPECT_NE((result.out + result.err).find(test.message), std::string::npos) << result.out << result.err;
        EXPECT_EQ(RunTool({"verify", "--key", dir / "k.pub.pem", "--expect-serial", "3", dir / "game.stage"}).exitCode, 0)
            << "after " << test.args[0];
        EXPECT_TRUE(Exists(dir / "game.stage.publish-record"));
    }
    for (const char* name : {"none", "none.lock", "none.cohorts", "none.stage-state"})
        EXPECT_FALSE(Exists(dir / name)) << name;
}

TEST_F(PublishStage, InterruptedCommandsNeverRouteABucketToALowerSerial) {
    if (access("/usr/bin/strace", X_OK) != 0) GTEST_SKIP() << "strace is not installed";
    WriteFileText(dir / "rel/data/a.pak", "one");
    AgeTree(dir / "rel");
    mkdir((dir / "live").c_str(), 0755);
    ASSERT_EQ(Publish(1, dir / "live/srv").exitCode, 0);
    ASSERT_EQ(RunCommand({"cp", "-a", dir / "live", dir / "staged"}).exitCode, 0);
    WriteFileText(dir / "rel/data/a.pak", "two");
    ASSERT_EQ(RunTool({"stage", "--key", dir / "k.pem", "--serial", "2", "--share", "5", "--salt", "7", dir / "rel",
                       dir / "staged/srv"}).exitCode, 0);
    WriteFileText(dir / "rel/data/a.pak", "three");
    // The three commands that move buckets between trees, side by side.
    std::atomic<int> points{0};
    std::vector<std::thread> campaigns;
    campaigns.emplace_back([&]() {
        points += KillAtEveryCall(dir, dir / "live", {"stage", "--key", "KEY", "--serial", "2", "--share", "5", "REL", "SITE"},
                                  2, 5, "first stage");
    });
    campaigns.emplace_back([&]() { points += KillAtEveryCall(dir, dir / "staged", {"promote", "SITE"}, 2, 100, "promotion"); });
    campaigns.emplace_back([&]() {
        points += KillAtEveryCall(dir, dir / "staged", {"publish", "--key", "KEY", "--serial", "3", "REL", "SITE"}, 3, 100,
                                  "forward fix");
    });
    for (std::thread& campaign : campaigns) campaign.join();
    std::printf("stage commands killed at %d points\n", points.load());
    // The same commands, and widen, failed at their disk calls: errors never route a bucket lower either.
    points = 0;
    campaigns.clear();
    campaigns.emplace_back([&]() {
        points += KillAtEveryCall(dir, dir / "live", {"stage", "--key", "KEY", "--serial", "2", "--share", "5", "REL", "SITE"},
                                  2, 5, "first stage", true);
        points += KillAtEveryCall(dir, dir / "staged", {"promote", "SITE"}, 2, 100, "promotion", true);
    });
    campaigns.emplace_back([&]() {
        points += KillAtEveryCall(dir, dir / "staged", {"widen", "--share", "50", "SITE"}, 2, 50, "widen", true, "openat");
        points += KillAtEveryCall(dir, dir / "staged", {"publish", "--key", "KEY", "--serial", "3", "REL", "SITE"}, 3, 100,
                                  "forward fix", true);
    });
    for (std::thread& campaign : campaigns) campaign.join();
    std::printf("stage commands failed at %d error points\n", points.load());
}

// Players: QUILLOR_STAGE_PLAYERS (bench/stage/run.sh), else 1,000.
int PlayerCount() {
    const char* text = std::getenv("QUILLOR_STAGE_PLAYERS");
    int count = text != nullptr ? std::atoi(text) : 0;
    return count >= 100 && count <= 60000 ? count : 1000;
}

// Body bytes nginx sent, from its access log ("STATUS BYTES URI" per line).
uint64_t OriginBodyBytes(const std::string& dir) {
    std::string log = OriginAccessLog(dir);
    uint64_t bytes = 0;
    for (size_t at = 0; at < log.size();) {
        size_t end = log.find('\n', at);
        if (end == std::string::npos) break;
        bytes += std::strtoull(log.c_str() + log.find(' ', at) + 1, nullptr, 10);
        at = end + 1;
    }
    return bytes;
}

// Random-looking bytes that differ per seed, so every release changes its files' digests.
std::string Body(int seed, size_t size) {
    std::string bytes(size, '\0');
    uint32_t state = 2166136261u ^ static_cast<uint32_t>(seed);
    for (char& byte : bytes) {
        state = state * 1664525u + 1013904223u;
        byte = static_cast<char>(state >> 24);
    }
    return bytes;
}

TEST_F(PublishStage, PlayersThroughTheEdgeNeverGoBackAndFollowTheShare) {
    if (access("/usr/sbin/nginx", X_OK) != 0 || access("/usr/sbin/varnishd", X_OK) != 0)
        GTEST_SKIP() << "nginx or varnishd is not installed";
    for (int i = 0; i < 6; ++i) WriteFileText(dir / ("rel/data/pack" + std::to_string(i) + ".pak"), Body(i, 16384));
    AgeTree(dir / "rel");
    ASSERT_EQ(Publish(1).exitCode, 0);
    WebServer origin, edge;
    ASSERT_TRUE(StartOrigin(dir.Path(), dir / "srv", origin)) << ReadFileText(dir / "nginx/error.log");
    ASSERT_TRUE(StartEdge(dir.Path(), origin.port, edge)) << ReadFileText(dir / "varnish/out.log");
    PkeyPtr key;
    std::string error;
    ASSERT_TRUE(LoadVerifyKey(dir / "k.pub.pem", key, error)) << error;
    std::vector<SimPlayer> players(PlayerCount());
    for (size_t i = 0; i < players.size(); ++i)
        players[i].address = "127.20." + std::to_string(i / 250) + "." + std::to_string(i % 250 + 1);

    uint64_t clientBytes = 0;
    // Every player runs once; each must get exactly the serial the publisher's mirror of nginx's
    // bucket rule predicts for its address, and the staged share must be within 3 points.
    auto round = [&](const char* step, uint64_t live, uint64_t staged, int target) {
        bool present = false;
        StageState state;
        ASSERT_TRUE(ReadStageState(dir / "srv", present, state, error)) << error;
        auto start = std::chrono::steady_clock::now();
        std::vector<SimRun> runs = RunSimRound(players, edge.port, key.get());
        double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        int decreases = 0, refused = 0, onStage = 0, unexpected = 0;
        for (size_t i = 0; i < runs.size(); ++i) {
            int bucket = BucketOfAddressText(players[i].address);
            uint64_t expected = present && BucketStaged(state.order, state.share, bucket) ? staged : live;
            decreases += runs[i].decrease;
            refused += runs[i].refused;
            onStage += runs[i].served == staged;
            unexpected += runs[i].served != expected;
            clientBytes += runs[i].bodyBytes;
        }
        double share = 100.0 * onStage / runs.size();
        std::printf("%-34s %5.1f %% on serial %llu (target %3d %%), %d refused, %d decreases, %.2f s\n", step, share,
                    static_cast<unsigned long long>(staged), target, refused, decreases, seconds);
        EXPECT_EQ(decreases, 0) << step;
        EXPECT_EQ(refused, 0) << step;
        EXPECT_EQ(unexpected, 0) << step;
        EXPECT_NEAR(share, target, 3.0) << step;
    };
    auto change = [&](int pack, int seed) {
        WriteFileText(dir / ("rel/data/pack" + std::to_string(pack) + ".pak"), Body(seed, 16384));
    };
    auto tool = [&](const std::vector<std::string>& args) {
        CommandResult result = RunTool(args);
        EXPECT_EQ(result.exitCode, 0) << result.err;
        return result;
    };

    round("1: live serial 1, fresh installs", 1, 1, 100);
    change(1, 101);
    tool({"stage", "--key", dir / "k.pem", "--serial", "2", "--share", "5", "--salt", "3", dir / "rel", dir / "srv"});
    round("2: serial 2 staged for 5 %", 1, 2, 5);

    // A player whose bucket joins at 25 %: its very next request after widen returns gets the stage.
    std::string joining;
    bool present = false;
    StageState state;
    ASSERT_TRUE(ReadStageState(dir / "srv", present, state, error));
    for (const SimPlayer& player : players)
        if (BucketPosition(state.order, BucketOfAddressText(player.address)) == 20) joining = player.address;
    ASSERT_NE(joining, "");
    EXPECT_EQ(RawHttp(edge.port, "GET", "/manifest.txt", 10, "", joining).body.substr(0, 34), "serial 1 blocks=patch min=1048576\n");
    auto start = std::chrono::steady_clock::now();
    std::string widened = tool({"widen", "--share", "25", dir / "srv"}).out;
    double widenMs = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(RawHttp(edge.port, "GET", "/manifest.txt", 10, "", joining).body.substr(0, 34), "serial 2 blocks=patch min=1048576\n");
    std::printf("widen to 25 %%: the next request gets the stage; the command took %.1f ms (%s)\n", widenMs,
                widened.substr(0, widened.size() - 1).c_str());
    EXPECT_NE(tool({"status", "--address", joining, dir / "srv"}).out.find(joining + ": bucket "), std::string::npos);
    round("3: widened to 25 %", 1, 2, 25);

    change(1, 102);
    change(2, 202);
    tool({"stage", "--key", dir / "k.pem", "--serial", "3", "--share", "25", dir / "rel", dir / "srv"});
    round("4: a fix staged as serial 3", 1, 3, 25);
    tool({"promote", dir / "srv"});
    round("5: serial 3 promoted", 3, 3, 100);

    change(3, 303);
    tool({"stage", "--key", dir / "k.pem", "--serial", "4", "--share", "10", "--salt", "5", dir / "rel", dir / "srv"});
    round("6: serial 4 staged for 10 %", 3, 4, 10);
    change(3, 304);
    change(4, 404);
    tool({"publish", "--key", dir / "k.pem", "--serial", "5", dir / "rel", dir / "srv"});
    round("7: forward fix, live serial 5", 5, 5, 100);

    uint64_t originBytes = OriginBodyBytes(dir.Path());
    double offload = 100.0 * (1.0 - static_cast<double>(originBytes) / clientBytes);
    std::printf("edge: %.2f %% of %llu body bytes (the origin sent %llu)\n", offload,
                static_cast<unsigned long long>(clientBytes), static_cast<unsigned long long>(originBytes));
    EXPECT_GE(offload, 95.0);
    StopWebServer(edge);
    StopWebServer(origin);
}

}  // namespace
