// Kept releases: history, revert (live and staged) and prune through the built tool, and the rules they keep.
#include "core/fs_util.h"
#include "release/history.h"
#include "release/history_text.h"
#include "tool_support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <functional>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

class PublishHistory : public ::testing::Test {
protected:
    TempDir dir;

    void SetUp() override {
        ASSERT_EQ(RunTool({"keygen", dir / "k"}).exitCode, 0);
        // Three releases: one file kept by all, one changed by each, one only in the first.
        for (int i = 1; i <= 3; ++i) {
            std::string rel = dir / ("r" + std::to_string(i));
            RunCommand({"mkdir", "-p", rel + "/data"});
            WriteFileText(rel + "/game.exe", "MZ game " + std::to_string(i));
            WriteFileText(rel + "/data/common.pak", std::string(3000, 'c'));
            if (i == 1) WriteFileText(rel + "/data/first.pak", std::string(4000, 'f'));
            AgeTree(rel);
        }
    }
    CommandResult Tool(std::vector<std::string> args) {
        args.push_back(dir / "srv");
        return RunTool(args);
    }
    static time_t MtimeOf(const std::string& path) {
        struct stat st;
        return stat(path.c_str(), &st) == 0 ? st.st_mtim.tv_sec : 0;
    }
    CommandResult Revert(const std::string& to, const std::string& serial, std::vector<std::string> extra = {}) {
        std::vector<std::string> args = {"revert", "--key", dir / "k.pem", "--to", to, "--serial", serial};
        args.insert(args.end(), extra.begin(), extra.end());
        return Tool(args);
    }
    // The history listing's line of serial ("" when none).
    std::string HistoryLine(const std::string& serial) {
        std::string text = Tool({"history"}).out;
        for (size_t at = 0; at < text.size();) {
            size_t end = text.find('\n', at);
            std::string line = text.substr(at, end - at);
            if (line.compare(0, serial.size() + 1, serial + " ") == 0) return line;
            at = end + 1;
        }
        return std::string();
    }
};

TEST_F(PublishHistory, ThreeReleasesARevertLiveOneStagedAndAPruneThatKeepsWhatIsServed) {
    const char* messages[] = {"first release", "second: new exe", "third, Grüße"};
    for (int i = 1; i <= 3; ++i) {
        CommandResult published = RunTool({"publish", "--key", dir / "k.pem", "--serial", std::to_string(i),
                                           "--message", messages[i - 1], dir / ("r" + std::to_string(i)), dir / "srv"});
        ASSERT_EQ(published.exitCode, 0) << published.err;
    }
    EXPECT_NE(HistoryLine("3").find(" live "), std::string::npos) << HistoryLine("3");
    EXPECT_NE(HistoryLine("3").find("third, Grüße"), std::string::npos);
    // From serial 2 a player downloads the new exe (9 bytes); a first install everything (7,009).
    EXPECT_NE(HistoryLine("3").find(" 9  "), std::string::npos) << HistoryLine("3");
    EXPECT_NE(HistoryLine("1").find(" kept "), std::string::npos) << HistoryLine("1");
    EXPECT_NE(HistoryLine("1").find(" 7009  "), std::string::npos) << HistoryLine("1");
    EXPECT_NE(HistoryLine("2").find("second: new exe"), std::string::npos);

    CommandResult preview = Tool({"diff", "--to", "1"});
    EXPECT_EQ(preview.exitCode, 1);
    EXPECT_NE(preview.out.find("added              4000  data/first.pak"), std::string::npos) << preview.out;
    EXPECT_NE(preview.out.find("each player on the published serial 3 downloads 4009 bytes"), std::string::npos);

    // A revert reads no body: every kept one is unreadable while it runs.
    const std::string kept = dir / "srv.history";
    const time_t before = MtimeOf(dir / "srv/manifest.txt"), common = MtimeOf(dir / "srv/files/data/common.pak");
    RunCommand({"find", kept, dir / "srv/files", "-type", "f", "-path", "*files/*", "-exec", "chmod", "a-r", "{}", "+"});
    CommandResult reverted = Revert("1", "4", {"--message", "back to the first"});
    RunCommand({"find", kept, dir / "srv/files", "-type", "f", "-exec", "chmod", "u+r", "{}", "+"});
    ASSERT_EQ(reverted.exitCode, 0) << reverted.err;
    EXPECT_EQ(RunTool({"verify", "--key", dir / "k.pub.pem", "--expect-serial", "4", dir / "srv"}).exitCode, 0);
    EXPECT_EQ(RunCommand({"diff", "-r", dir / "r1", dir / "srv/files"}).exitCode, 0);
    EXPECT_EQ(Tool({"diff", "--to", "1"}).exitCode, 0);
    // Edges tell bodies by time and size: one unlike the live body at its path gets a new time.
    EXPECT_GT(MtimeOf(dir / "srv/files/game.exe"), before);
    EXPECT_EQ(MtimeOf(dir / "srv/files/data/common.pak"), common);
    EXPECT_NE(HistoryLine("4").find(" live "), std::string::npos);
    EXPECT_NE(HistoryLine("4").find(" 4009  "), std::string::npos) << HistoryLine("4");
    EXPECT_NE(HistoryLine("3").find(" kept "), std::string::npos);

    CommandResult staged = Revert("2", "5", {"--share", "10"});
    ASSERT_EQ(staged.exitCode, 0) << staged.err;
    EXPECT_NE(Tool({"status"}).out.find("stage: serial 5 for 10 % of the players"), std::string::npos);
    EXPECT_EQ(RunTool({"verify", "--key", dir / "k.pub.pem", "--expect-serial", "5", dir / "srv.stage"}).exitCode, 0);
    EXPECT_EQ(ReadFileText(dir / "srv.stage/files/game.exe"), "MZ game 2");
    EXPECT_NE(HistoryLine("5").find(" staged "), std::string::npos);

    // Hand-made names inside the history are never the tool's to remove.
    WriteFileText(kept + "/notes.txt", "mine");
    mkdir((kept + "/1-0123456789abcdef").c_str(), 0755);
    CommandResult pruned = Tool({"prune", "--keep", "1"});
    EXPECT_NE(pruned.out.find("pruned serial 2, 1 from"), std::string::npos) << pruned.out << pruned.err;
    EXPECT_EQ(HistoryLine("1"), "");
    EXPECT_NE(HistoryLine("3").find(" kept "), std::string::npos);  // the one before the live one
    EXPECT_NE(HistoryLine("4").find(" live "), std::string::npos);
    EXPECT_NE(HistoryLine("5").find(" staged "), std::string::npos);
    EXPECT_EQ(ReadFileText(kept + "/notes.txt"), "mine");
    EXPECT_TRUE(PathExists(kept + "/1-0123456789abcdef"));

    // Promoting the stage keeps the reverted live tree, which the next revert brings back.
    ASSERT_EQ(Tool({"promote"}).exitCode, 0);
    EXPECT_NE(HistoryLine("4").find(" kept "), std::string::npos) << HistoryLine("4");
    ASSERT_EQ(Revert("4", "6").exitCode, 0);
    EXPECT_EQ(RunCommand({"diff", "-r", dir / "r1", dir / "srv/files"}).exitCode, 0);
}

TEST_F(PublishHistory, RevertKeepsTheRulesOfPublishAndStage) {
    for (int i = 1; i <= 2; ++i)
        ASSERT_EQ(RunTool({"publish", "--key", dir / "k.pem", "--serial", std::to_string(i * 10),
                           dir / ("r" + std::to_string(i)), dir / "srv"}).exitCode, 0);
    ASSERT_EQ(Revert("10", "30", {"--share", "20"}).exitCode, 0);
    const struct {
        std::vector<std::string> args;
        int exitCode;
        const char* says;
    } cases[] = {
        {{"revert", "--key", dir / "k.pem", "--to", "10", "--serial", "15"}, 1, "lower than the published serial 20"},
        {{"revert", "--key", dir / "k.pem", "--to", "7", "--serial", "40"}, 1, "no kept release of serial 7"},
        {{"revert", "--key", dir / "k.pem", "--to", "10", "--serial", "30"}, 1, "serial 30 is staged; promote it"},
        {{"revert", "--key", dir / "k.pem", "--to", "10", "--serial", "31", "--share", "5"}, 1, "the share only grows"},
        {{"revert", "--key", dir / "k.pem", "--serial", "40"}, 2, "revert needs --to SERIAL"},
        {{"revert", "--key", dir / "k.pem", "--to", "10", "--serial", "40", "--message", "two\nlines"}, 2, "one line"},
        {{"revert", "--key", dir / "k.pem", "--to", "10", "--serial", "40", "--message", std::string(201, 'm')}, 2,
         "at most 200"},
        {{"revert", "--key", dir / "k.pem", "--to", "10", "--serial", "40", "--force"}, 2, "unknown option --force"},
        {{"prune", "--keep", "-1"}, 2, "--keep 0 to 100000"},
        {{"diff", "--to", "99"}, 2, "no kept release of serial 99"},
    };
    for (const auto& each : cases) {
        CommandResult result = Tool(each.args);
        EXPECT_EQ(result.exitCode, each.exitCode) << each.args[0] << " " << each.says << ": " << result.err;
        EXPECT_NE(result.err.find(each.says), std::string::npos) << result.err;
    }
    EXPECT_NE(Tool({"status"}).out.find("live:  serial 20"), std::string::npos);
}

TEST_F(PublishHistory, ARevertLinksOnlyWholeListedBodiesAndPrunedEntriesGoAfterTheResult) {
    for (int i = 1; i <= 3; ++i)
        ASSERT_EQ(RunTool({"publish", "--key", dir / "k.pem", "--serial", std::to_string(i),
                           dir / ("r" + std::to_string(i)), dir / "srv"}).exitCode, 0);
    std::string tree1;
    for (const std::string& name : Names(dir / "srv.history"))
        if (name.compare(0, 2, "1-") == 0) tree1 = dir / ("srv.history/" + name + "/tree");
    ASSERT_TRUE(PathExists(tree1 + "/manifest.txt"));

    // A kept body cut short is refused before anything changes; a file the manifest does not list
    // is not carried over.
    const std::string first = ReadFileText(tree1 + "/files/data/first.pak");
    WriteFileText(tree1 + "/files/data/first.pak", "short");
    const std::vector<std::string> around = Names(dir.Path());
    CommandResult damaged = Revert("1", "4");
    EXPECT_EQ(damaged.exitCode, 1);
    EXPECT_NE(damaged.err.find("data/first.pak: not the body of 4000 bytes its manifest lists"), std::string::npos)
        << damaged.err;
    EXPECT_EQ(ReadFileText(dir / "srv/files/game.exe"), "MZ game 3");
    EXPECT_EQ(Names(dir.Path()), around);
    WriteFileText(tree1 + "/files/data/first.pak", first);
    WriteFileText(tree1 + "/files/data/stray.txt", "not listed");
    ASSERT_EQ(Revert("1", "4").exitCode, 0);
    EXPECT_EQ(RunCommand({"diff", "-r", dir / "r1", dir / "srv/files"}).exitCode, 0);

    // The reverted tree's record vouches for its bodies: publishing release 1 again reads nothing.
    CommandResult again = RunTool({"publish", "--key", dir / "k.pem", "--serial", "5", dir / "r1", dir / "srv"});
    EXPECT_NE(again.out.find("(0 read from the release, 3 taken over unchanged)"), std::string::npos) << again.out;

    // Pruned entries are removed once the result is out, but an entry whose removal another
    // process holds (its folder locked) is left to that process.
    const std::string held = dir / ("srv.history/" + EntryName(9) + ".gone");
    mkdir(held.c_str(), 0755);
    WriteFileText(held + "/info", "being removed");
    UniqueFd lock(open(held.c_str(), O_RDONLY | O_DIRECTORY));
    ASSERT_EQ(flock(lock.Get(), LOCK_EX | LOCK_NB), 0);
    CommandResult pruned = RunTool({"publish", "--key", dir / "k.pem", "--keep", "1", "--serial", "6", dir / "r2",
                                    dir / "srv"});
    ASSERT_EQ(pruned.exitCode, 0) << pruned.err;
    EXPECT_NE(pruned.out.find("pruned serial 4, 3, 2, 1 from"), std::string::npos) << pruned.out;
    auto goneLeft = [&] {
        int count = 0;
        for (const std::string& name : Names(dir / "srv.history")) count += name.find(".gone") != std::string::npos;
        return count;
    };
    for (int i = 0; i < 100 && goneLeft() > 1; ++i) usleep(50 * 1000);
    EXPECT_EQ(goneLeft(), 1);
    EXPECT_EQ(ReadFileText(held + "/info"), "being removed");
    lock = UniqueFd();
    ASSERT_EQ(Tool({"prune"}).exitCode, 0);
    EXPECT_FALSE(PathExists(held));
    EXPECT_EQ(RunTool({"verify", "--key", dir / "k.pub.pem", "--expect-serial", "6", dir / "srv"}).exitCode, 0);
}

TEST_F(PublishHistory, AHistoryFolderThePublisherDidNotMakeIsRefusedAndLeftAlone) {
    mkdir((dir / "srv.history").c_str(), 0755);
    WriteFileText(dir / "srv.history/manifest.txt", "another site");
    CommandResult refused = RunTool({"publish", "--key", dir / "k.pem", "--serial", "1", dir / "r1", dir / "srv"});
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_NE(refused.err.find("was not made by quillor-publish"), std::string::npos) << refused.err;
    EXPECT_EQ(ReadFileText(dir / "srv.history/manifest.txt"), "another site");
    EXPECT_EQ(Tool({"history"}).exitCode, 1);
    // Nor when opening it fails: a read that fails is never an empty folder to take over.
    CommandResult failed = RunCommand({"strace", "-f", "-qq", "-o", "/dev/null", "-P", dir / "srv.history", "-e",
                                       "trace=openat", "-e", "inject=openat:error=EIO", QUILLOR_PUBLISH_EXE, "publish",
                                       "--key", dir / "k.pem", "--serial", "1", "--jobs", "1", dir / "r1", dir / "srv"});
    EXPECT_EQ(failed.exitCode, 1) << failed.err;
    EXPECT_EQ(Names(dir / "srv.history"), std::vector<std::string>{"manifest.txt"});
    // What an earlier version killed while it wrote the mark in place left is the publisher's own.
    RunCommand({"rm", "-rf", dir / "srv.history"});
    mkdir((dir / "srv.history").c_str(), 0755);
    WriteFileText(OwnTempName(dir / "srv.history/.quillor-history"), "quillor-publish hist");
    CommandResult healed = RunTool({"publish", "--key", dir / "k.pem", "--serial", "1", dir / "r1", dir / "srv"});
    EXPECT_EQ(healed.exitCode, 0) << healed.err;
    EXPECT_EQ(Tool({"history"}).exitCode, 0);
}

// Hostile or odd contents of the history, and refusals: none is followed, believed or changes the site.
TEST_F(PublishHistory, HostileHistoryContentsAreNeverFollowedNorBelieved) {
    for (int i = 1; i <= 3; ++i)
        ASSERT_EQ(RunTool({"publish", "--key", dir / "k.pem", "--serial", std::to_string(i),
                           dir / ("r" + std::to_string(i)), dir / "srv"}).exitCode, 0);
    const std::string history = dir / "srv.history", outside = dir / "outside";
    std::string entry1;
    for (const std::string& name : Names(history))
        if (name.compare(0, 2, "1-") == 0) entry1 = history + "/" + name;
    ASSERT_FALSE(entry1.empty());
    mkdir(outside.c_str(), 0755);
    const struct {
        const char* name;
        std::function<void()> plant, undo;
        std::vector<std::string> args;
        const char* says;
    } cases[] = {
        {"the entry a link out of the site",
         [&] { rename(entry1.c_str(), (outside + "/e").c_str()), symlink((outside + "/e").c_str(), entry1.c_str()); },
         [&] { unlink(entry1.c_str()), rename((outside + "/e").c_str(), entry1.c_str()); },
         {"revert", "--key", dir / "k.pem", "--to", "1", "--serial", "4"}, "no kept release of serial 1"},
        {"its tree/ a link",
         [&] { rename((entry1 + "/tree").c_str(), (outside + "/t").c_str()), symlink((outside + "/t").c_str(), (entry1 + "/tree").c_str()); },
         [&] { unlink((entry1 + "/tree").c_str()), rename((outside + "/t").c_str(), (entry1 + "/tree").c_str()); },
         {"revert", "--key", dir / "k.pem", "--to", "1", "--serial", "4"}, "no kept release of serial 1"},
        {"a folder of its tree a link",
         [&] {
             rename((entry1 + "/tree/files/data").c_str(), (outside + "/d").c_str());
             symlink((outside + "/d").c_str(), (entry1 + "/tree/files/data").c_str());
         },
         [&] { unlink((entry1 + "/tree/files/data").c_str()), rename((outside + "/d").c_str(), (entry1 + "/tree/files/data").c_str()); },
         {"revert", "--key", dir / "k.pem", "--to", "1", "--serial", "4"}, "Too many levels of symbolic links"},
        {"an info that names serial 2 for release 1, made later",
         [&] {
             RunCommand({"cp", "-a", entry1, history + "/" + EntryName(2)});
             for (const std::string& name : Names(history)) {
                 if (name.compare(0, 2, "2-") != 0 || !PathExists(history + "/" + name + "/tree")) continue;
                 std::string info = ReadFileText(history + "/" + name + "/info");
                 if (info.find("\nserial 1\n") == std::string::npos) continue;
                 info.replace(info.find("\nserial 1\n"), 10, "\nserial 2\n");
                 info.replace(info.find("\nmade 1"), 7, "\nmade 2");  // years later
                 WriteFileText(history + "/" + name + "/info", info);
                 WriteFileText(history + "/" + name + "/order", "9\n");  // and the newest entry
             }
         },
         [&] {
             for (const std::string& name : Names(history))
                 if (name.compare(0, 2, "2-") == 0 && ReadFileText(history + "/" + name + "/info").find("\nmade 2") != std::string::npos)
                     RunCommand({"rm", "-rf", history + "/" + name});
         },
         {"revert", "--key", dir / "k.pem", "--to", "2", "--serial", "4"}, "is not the one kept for serial 2"},
        {"serial 3 again with release 1", [] {}, [] {},
         {"revert", "--key", dir / "k.pem", "--to", "1", "--serial", "3"}, "before with other contents"},
        {"a message that is no UTF-8 (a surrogate)", [] {}, [] {},
         {"revert", "--key", dir / "k.pem", "--to", "1", "--serial", "4", "--message", "\xed\xa0\x80"}, "UTF-8"},
    };
    struct stat kept;
    ASSERT_EQ(stat((entry1 + "/tree/files/data/first.pak").c_str(), &kept), 0);
    for (const auto& each : cases) {
        each.plant();
        CommandResult result = Tool(each.args);
        each.undo();
        EXPECT_NE(result.exitCode, 0) << each.name;
        EXPECT_NE(result.err.find(each.says), std::string::npos) << each.name << ": " << result.err;
        EXPECT_EQ(RunTool({"verify", "--key", dir / "k.pub.pem", "--expect-serial", "3", dir / "srv"}).exitCode, 0)
            << each.name;
        struct stat now;
        ASSERT_EQ(stat((entry1 + "/tree/files/data/first.pak").c_str(), &now), 0) << each.name;
        EXPECT_EQ(now.st_mtim.tv_sec * 1000000000ll + now.st_mtim.tv_nsec,
                  kept.st_mtim.tv_sec * 1000000000ll + kept.st_mtim.tv_nsec) << each.name << ": a kept body's time";
    }
    // A revert that prunes keeps its own source, so that it can be run again, and says so.
    ASSERT_EQ(Revert("1", "4", {"--keep", "1"}).exitCode, 0);
    CommandResult again = Revert("1", "4", {"--keep", "1"});
    EXPECT_EQ(again.exitCode, 0) << again.err;
    EXPECT_NE(again.out.find("it was published with these contents already"), std::string::npos) << again.out;
    EXPECT_NE(HistoryLine("1").find(" kept "), std::string::npos) << Tool({"history"}).out;
    // A mistyped site is no site with nothing published, and a refusal leaves no lock behind.
    for (const char* command : {"history", "prune"}) {
        CommandResult none = RunTool({command, dir / "nosuch"});
        EXPECT_EQ(none.exitCode, 1) << command;
        EXPECT_NE(none.err.find("no such server folder"), std::string::npos) << none.err;
    }
    EXPECT_FALSE(PathExists(dir / "nosuch.lock"));
    // A look at the live manifest that fails is no live release missing: prune keeps what is served.
    RunCommand({"strace", "-f", "-qq", "-o", "/dev/null", "-P", dir / "srv/manifest.txt", "-e", "trace=newfstatat", "-e",
                "inject=newfstatat:error=EIO:when=2+", QUILLOR_PUBLISH_EXE, "prune", "--keep", "0", dir / "srv"});
    EXPECT_NE(HistoryLine("4").find(" live "), std::string::npos) << Tool({"history"}).out;
    EXPECT_NE(HistoryLine("3").find(" kept "), std::string::npos) << Tool({"history"}).out;
}

// A site published before there was a history: its live release gets an entry no newer than now,
// so the release published after it is the newer one and the one before the live one stays.
TEST_F(PublishHistory, AnEntryMadeForAnOlderLiveTreeIsNeverNewerThanTheNextRelease) {
    for (int i = 1; i <= 4; ++i)  // each publish's bodies outrun the last: the manifest's time lies ahead
        ASSERT_EQ(RunTool({"publish", "--key", dir / "k.pem", "--serial", std::to_string(i),
                           dir / ("r" + std::to_string(i % 3 + 1)), dir / "srv"}).exitCode, 0);
    RunCommand({"rm", "-rf", dir / "srv.history"});
    ASSERT_EQ(RunTool({"publish", "--key", dir / "k.pem", "--serial", "5", dir / "r1", dir / "srv"}).exitCode, 0);
    std::string listing = Tool({"history"}).out;
    EXPECT_LT(listing.find("\n5 "), listing.find("\n4 ")) << listing;
    CommandResult pruned = Tool({"prune", "--keep", "0"});
    EXPECT_EQ(pruned.exitCode, 0) << pruned.err;
    EXPECT_NE(HistoryLine("4").find(" kept "), std::string::npos) << pruned.out << Tool({"history"}).out;
}

// Fault 12 of issue 38: the history's order is the order its entries were made, which no clock
// moves. Each row publishes serials 1, 2, ... into a site of its own, the clock of each publish
// stepped as given (faketime), then prunes.
TEST_F(PublishHistory, AClockSteppedBackBetweenReleasesMovesNoReleaseInTheOrder) {
    if (access("/usr/bin/faketime", X_OK) != 0) GTEST_SKIP() << "faketime is not installed (cmake/setup.sh installs it)";
    struct Row {
        const char* name;
        std::vector<std::string> clocks;  // per publish: a faketime offset, "" for the real clock
        bool oldEntries;                  // the entries of the first three made as an earlier version made them
        std::string keep;                 // --keep of every publish
        unsigned prune;                   // then prune --keep this
        std::vector<std::string> listed;  // the serials history lists, newest first
    };
    const Row rows[] = {
        {"a day back before the fourth release", {"", "", "", "-1d"}, false, "10", 0, {"4", "3"}},
        {"two steps back, then forward", {"", "-2d", "-4d", "+1d", "-3d"}, false, "10", 1, {"5", "4"}},
        {"--keep 2 while publishing after the step", {"", "", "", "-1d", "-1d", "-1d", "-1d"}, false, "2", 2,
         {"7", "6"}},
        {"entries of an earlier version, then a step back", {"", "", "", "-1d"}, true, "10", 0, {"4", "3"}},
    };
    int site = 0;
    for (const Row& row : rows) {
        const std::string srv = dir / ("clock" + std::to_string(++site));
        for (size_t i = 0; i < row.clocks.size(); ++i) {
            if (row.oldEntries && i == 3)  // an earlier version wrote no order line
                RunCommand({"sh", "-c", "rm '" + srv + ".history'/*/order"});
            std::vector<std::string> args = {"publish", "--key", dir / "k.pem", "--keep", row.keep, "--serial",
                                             std::to_string(i + 1), dir / ("r" + std::to_string(i % 3 + 1)), srv};
            if (!row.clocks[i].empty()) {
                args.insert(args.begin(), {"/usr/bin/faketime", "-f", row.clocks[i], QUILLOR_PUBLISH_EXE});
            } else {
                args.insert(args.begin(), QUILLOR_PUBLISH_EXE);
            }
            CommandResult published = RunCommand(args);
            ASSERT_EQ(published.exitCode, 0) << row.name << ": " << published.err;
        }
        CommandResult pruned = RunTool({"prune", "--keep", std::to_string(row.prune), srv});
        EXPECT_EQ(pruned.exitCode, 0) << row.name << ": " << pruned.err;
        std::string listing = RunTool({"history", srv}).out;
        std::vector<std::string> listed;
        for (size_t at = listing.find('\n'); at != std::string::npos && at + 1 < listing.size();
             at = listing.find('\n', at + 1))
            listed.push_back(listing.substr(at + 1, listing.find(' ', at + 1) - at - 1));
        EXPECT_EQ(listed, row.listed) << row.name << ":\n" << listing << pruned.out;
        // The release before the live one is kept, so the revert to it works.
        CommandResult back = RunTool({"revert", "--key", dir / "k.pem", "--to", row.listed[1], "--serial",
                                      std::to_string(row.clocks.size() + 1), srv});
        EXPECT_EQ(back.exitCode, 0) << row.name << ": " << back.err;
    }
    // The stage tree's name is no site of its own for history and prune (fault 13).
    ASSERT_EQ(RunTool({"publish", "--key", dir / "k.pem", "--serial", "1", dir / "r1", dir / "srv"}).exitCode, 0);
    RunCommand({"mkdir", "-p", dir / "srv.stage"});
    for (const char* command : {"history", "prune"}) {
        CommandResult refused = RunTool({command, dir / "srv.stage"});
        EXPECT_EQ(refused.exitCode, 1) << command;
        EXPECT_NE(refused.err.find("stage tree"), std::string::npos) << refused.err;
        EXPECT_FALSE(PathExists(dir / "srv.stage.history")) << command;
        EXPECT_FALSE(PathExists(dir / "srv.stage.lock")) << command;
    }
}

// Fault 13 of issue 38: a kept release's tree that an interrupted command left beside the site
// survives a publish into a lost live folder (it goes into its entry), and a history on another
// file system is refused with a message that says why.
TEST_F(PublishHistory, ATreeLeftBesideALostSiteGoesIntoItsEntry) {
    for (int i = 1; i <= 2; ++i)
        ASSERT_EQ(RunTool({"publish", "--key", dir / "k.pem", "--serial", std::to_string(i),
                           dir / ("r" + std::to_string(i)), dir / "srv"}).exitCode, 0);
    std::string entry;
    for (const std::string& name : Names(dir / "srv.history"))
        if (name.compare(0, 2, "1-") == 0) entry = dir / ("srv.history/" + name);
    ASSERT_FALSE(entry.empty());
    const std::string left = OwnTempName(dir / "srv");  // as an interrupted swap leaves it
    ASSERT_EQ(rename((entry + "/tree").c_str(), left.c_str()), 0);
    RunCommand({"rm", "-rf", dir / "srv"});
    CommandResult published =
        RunTool({"publish", "--key", dir / "k.pem", "--serial", "3", dir / "r3", dir / "srv"});
    ASSERT_EQ(published.exitCode, 0) << published.err;
    EXPECT_NE(HistoryLine("1").find(" kept "), std::string::npos) << Tool({"history"}).out << published.err;
    EXPECT_EQ(RunTool({"verify", "--key", dir / "k.pub.pem", "--expect-serial", "1", entry + "/tree"}).exitCode, 0);

    // A history on a file system of its own (a tmpfs in a mount namespace of the test's own).
    CommandResult probe = RunCommand({"unshare", "-rm", "true"});
    if (probe.exitCode != 0) GTEST_SKIP() << "no mount namespace for the test: " << probe.err;
    CommandResult mounted = RunCommand(
        {"unshare", "-rm", "sh", "-c",
         "mkdir -p '" + dir / "other.history" + "' && mount -t tmpfs none '" + dir / "other.history" +
             "' && cp -a '" + dir / "srv.history/.quillor-history" + "' '" + dir / "other.history/" + "' && '" +
             QUILLOR_PUBLISH_EXE + "' publish --key '" + dir / "k.pem" + "' --serial 1 '" + dir / "r1" + "' '" +
             dir / "other" + "'"});
    EXPECT_EQ(mounted.exitCode, 1) << mounted.out << mounted.err;
    EXPECT_NE(mounted.err.find("another file system"), std::string::npos) << mounted.err;
}

// Every flush a publish absorbs after its swap (the history folder, an entry, the site's folder)
// is warned about, naming what the next command does again; --json lists it as a problem.
TEST_F(PublishHistory, EveryFlushAPublishAbsorbsIsWarnedAbout) {
    // A site of serials 1 and 2 in its own folder per run, and the args of the publish of serial 3.
    auto site = [&](int run) {
        const std::string server = dir / ("s" + std::to_string(run) + "/srv");
        mkdir((dir / ("s" + std::to_string(run))).c_str(), 0755);
        for (int i = 1; i <= 2; ++i)
            EXPECT_EQ(RunTool({"publish", "--key", dir / "k.pem", "--serial", std::to_string(i),
                               dir / ("r" + std::to_string(i)), server}).exitCode, 0);
        return std::vector<std::string>{"publish", "--json", "--key", dir / "k.pem", "--serial", "3", dir / "r3", server};
    };
    ASSERT_EQ(RunToolTraced("fsync", {}, site(0), dir / "trace").exitCode, 0);
    const std::string trace = ReadFileText(dir / "trace");
    int flushes = 0;
    for (size_t at = trace.find("fsync("); at != std::string::npos; at = trace.find("fsync(", at + 1)) ++flushes;
    ASSERT_GT(flushes, 8);
    int absorbed = 0;
    for (int when = 1; when <= flushes; ++when) {
        std::vector<std::string> args = site(when);
        CommandResult run = RunToolTraced("fsync", {"fsync:error=EIO:when=" + std::to_string(when)}, args);
        if (run.exitCode != 0) continue;  // before the swap: nothing published, said so
        ++absorbed;
        EXPECT_NE(run.err.find("warning: "), std::string::npos) << "fsync #" << when << ": " << run.err;
        EXPECT_NE(run.out.find("\"problems\":[{\"code\":"), std::string::npos) << "fsync #" << when << ": " << run.out;
        EXPECT_EQ(RunTool({"verify", "--key", dir / "k.pub.pem", "--expect-serial", "3", args.back()}).exitCode, 0);
    }
    EXPECT_GE(absorbed, 2);
}

TEST(HistoryRules, MessagesAreOneBoundedLineOfText) {
    const struct {
        std::string text;
        bool ok;
    } cases[] = {
        {"", true},           {"Fixed the map loader", true}, {"Grüße, 修正", true}, {std::string(200, 'x'), true},
        {std::string(201, 'x'), false}, {"a\nb", false}, {"a\rb", false}, {"tab\there", false}, {"\x7f", false},
        {"\xc2\x85", false},  // NEL, a C1 line break
        {"\xff", false},      {"\xc3", false}, {"\xc0\xaf", false},
        {"\xed\xa0\x80", false},      // a surrogate
        {"\xe0\x80\xaf", false},      // "/" in three bytes
        {"\xf4\x90\x80\x80", false},  // above U+10FFFF
        {"\xf0\x9f\x98\x80", true},
    };
    for (const auto& each : cases) {
        std::string error;
        EXPECT_EQ(CheckMessage(each.text, error), each.ok) << testing::PrintToString(each.text);
    }
}

TEST(HistoryRules, TheDownloadCountsAddedAndChangedFilesOnly) {
    auto manifest = [](const std::string& text) { return std::vector<uint8_t>(text.begin(), text.end()); };
    std::string a(64, 'a'), b(64, 'b');
    std::vector<uint8_t> before = manifest("serial 1\n" + a + "\t10\tdata/x\n" + a + "\t20\tgame.exe\n" + a + "\t5\tz\n");
    std::vector<uint8_t> after = manifest("serial 2\n" + a + "\t7\tdata/new\n" + a + "\t10\tdata/x\n" + b +
                                          "\t21\tgame.exe\n");
    std::vector<std::string> lines;
    EXPECT_EQ(DownloadBetween(after, before, &lines), 28u);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "added                 7  data/new");
    EXPECT_EQ(lines[1], "changed              21  game.exe");
    EXPECT_EQ(lines[2], "removed               0  z");
    EXPECT_EQ(DownloadBetween(after, {}, nullptr), 38u);
}

}  // namespace
