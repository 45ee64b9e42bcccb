// The updater under Wine through the shipped Varnish edge and nginx origin, via a mirror, while a
// release is staged and patching a pack; and the rollout report of real runs from the origin's log.
#include "e2e_fixture.h"
#include "stage/cohort.h"
#include "tool_support.h"
#include "update/block_file.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <map>
#include <thread>

#include <nlohmann/json.hpp>

using json = nlohmann::json;

namespace {

class EdgeEndToEnd : public EndToEnd {
protected:
    WebServer origin, edge;

    void SetUp() override {
        EndToEnd::SetUp();
        if (IsSkipped()) return;
        if (access("/usr/sbin/nginx", X_OK) != 0 || access("/usr/sbin/varnishd", X_OK) != 0)
            GTEST_SKIP() << "nginx or varnishd is not installed";
    }
    static std::string Url(const WebServer& at) { return "http://127.0.0.1:" + std::to_string(at.port); }
    static std::string LastLine(const std::string& dir) {
        std::vector<std::string> lines = LogLines(dir);
        return lines.empty() ? "<no log>" : lines.back();
    }
    static CommandResult Tool(const std::vector<std::string>& args) {
        CommandResult result = RunTool(args);
        EXPECT_EQ(result.exitCode, 0) << result.err;
        return result;
    }
};

TEST_F(EdgeEndToEnd, ChangedBytesUnderOnePathArriveAndUnchangedBodiesComeFromTheEdge) {
    const std::string keep(300000, 'k'), before(200000, 'o'), after(200000, 'n');
    AddToRelease("data/keep.pak", keep);
    AddToRelease("data/Neue Karte.pak", before);
    PublishRelease(1);
    ASSERT_TRUE(StartOrigin(tree.path, served, origin)) << ReadFile(tree / "nginx/error.log");
    ASSERT_TRUE(StartEdge(tree.path, origin.port, edge)) << ReadFile(tree / "varnish/out.log");
    ASSERT_EQ(RunSilentFrom(Url(edge), install), 0);
    EXPECT_EQ(Installed("data/Neue Karte.pak"), before);

    // Same path, same size, new bytes, published right away.
    AddToRelease("data/Neue Karte.pak", after);
    PublishRelease(2);
    ASSERT_EQ(RunSilentFrom(Url(edge), install), 0) << LastLine(install);
    EXPECT_EQ(Installed("data/Neue Karte.pak"), after);
    EXPECT_EQ(StateFile(), "2\r\n");

    std::string second = tree / "second";
    ASSERT_EQ(RunSilentFrom(Url(edge), second), 0) << LastLine(second);
    EXPECT_EQ(ReadFile(second + "/data/keep.pak"), keep);
    EXPECT_EQ(ReadFile(second + "/data/Neue Karte.pak"), after);
    // The unchanged body crossed the origin once in full, for the very first installation.
    EXPECT_EQ(OriginLines(tree.path, "200 300000 /files/data/keep.pak", 1), 1) << OriginAccessLog(tree.path);
    EXPECT_EQ(OriginLines(tree.path, "304 0 /files/data/keep.pak", 1), 1) << OriginAccessLog(tree.path);
    EXPECT_EQ(OriginLines(tree.path, "200 200000 /files/data/Neue%20Karte.pak", 2), 2);
}

TEST_F(EdgeEndToEnd, OriginRedirectsFilesToAMirrorWhoseBytesAreChecked) {
    AddToRelease("data/a.pak", "first file");
    AddToRelease("data/b.pak", "second file");
    PublishRelease(1);
    // The commented example of the shipped site, pointed at this test's server as the mirror.
    ASSERT_TRUE(StartOrigin(tree.path, served, origin,
                            {{"# return 302 http://mirror.example.com$request_uri;",
                              "return 302 " + server.BaseUrl() + "$request_uri;"}}))
        << ReadFile(tree / "nginx/error.log");
    ASSERT_EQ(RunSilentFrom(Url(origin), install), 0) << LastLine(install);
    EXPECT_EQ(Installed("data/b.pak"), "second file");
    EXPECT_EQ(server.Requests(), (std::vector<std::string>{"/files/data/a.pak", "/files/data/b.pak"}));

    Misbehaviour wrong;
    wrong.replaceBody = true;
    wrong.body = "FIRST FILE";
    server.Override("/files/data/a.pak", wrong);
    std::string second = tree / "second";
    EXPECT_EQ(RunSilentFrom(Url(origin), second), 2);
    EXPECT_EQ(LastLine(second), FailedLine("Pr\u00fcfsumme stimmt nicht: data/a.pak"));
    EXPECT_EQ(FilesEndingIn(second, ".pak"), std::vector<std::string>{});
    EXPECT_EQ(FilesEndingIn(second, ".part"), std::vector<std::string>{});
    EXPECT_FALSE(Exists(second + "/updater.state"));
}

TEST_F(EdgeEndToEnd, OnlyARunFromInsideTheCohortInstallsTheStagedRelease) {
    AddToRelease("data/map.pak", "live map");
    AddToRelease("data/music.ogg", std::string(100000, 'm'));
    PublishRelease(1);
    // Wine connects from 127.0.0.1: a salt that puts its bucket tenth in the order keeps it out of
    // a 9 % stage and takes it in at 10 %.
    const int bucket = BucketOfAddressText("127.0.0.1");
    uint64_t salt = 0;
    while (BucketPosition(BucketOrder(salt), bucket) != 9) ++salt;
    AddToRelease("data/map.pak", "staged map");
    Tool({"stage", "--key", DevKey("quillor-dev"), "--serial", "2", "--share", "9", "--salt", std::to_string(salt),
          release, served});
    EXPECT_NE(Tool({"status", "--address", "127.0.0.1", served})
                  .out.find("gets the live release (serial 1); joins the stage at a share of 10 %"),
              std::string::npos);
    ASSERT_TRUE(StartOrigin(tree.path, served, origin)) << ReadFile(tree / "nginx/error.log");
    ASSERT_TRUE(StartEdge(tree.path, origin.port, edge)) << ReadFile(tree / "varnish/out.log");

    ASSERT_EQ(RunSilentFrom(Url(edge), install), 0) << LastLine(install);
    EXPECT_EQ(Installed("data/map.pak"), "live map");
    EXPECT_EQ(StateFile(), "1\r\n");
    Tool({"widen", "--share", "10", served});
    ASSERT_EQ(RunSilentFrom(Url(edge), install), 0) << LastLine(install);
    EXPECT_EQ(Installed("data/map.pak"), "staged map");
    EXPECT_EQ(Installed("data/music.ogg"), std::string(100000, 'm'));
    EXPECT_EQ(StateFile(), "2\r\n");
}

// The report reads real runs from the origin's JSON log as they happened: a fresh installation of
// serial 1, an update to serial 2 and a run with nothing to do. The file that changes is not the
// first run's last one, which a run fetching it again would mark as the place that run stopped.
TEST_F(EdgeEndToEnd, TheReportCountsRealRunsAsTheyHappened) {
    AddToRelease("data/a.pak", std::string(5000, 'a'));
    AddToRelease("data/b.pak", std::string(7000, 'b'));
    PublishRelease(1);
    // Wine connects from 127.0.0.1, which the rig's site trusts as an edge; here it is a player.
    ASSERT_TRUE(StartOrigin(tree.path, served, origin, {{"    127.0.0.1 1;", "    127.0.0.2 1;"}}))
        << ReadFile(tree / "nginx/error.log");
    ASSERT_EQ(RunSilentFrom(Url(origin), install), 0) << LastLine(install);
    AddToRelease("data/a.pak", std::string(5000, 'A'));
    PublishRelease(2);
    for (int run = 0; run < 2; ++run) ASSERT_EQ(RunSilentFrom(Url(origin), install), 0) << LastLine(install);
    StopWebServer(origin);

    CommandResult run = RunTool({"report", "--json", served, tree / "nginx/access.json"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    json result = json::parse(run.out.substr(run.out.rfind("\n{") + 1), nullptr, false);
    ASSERT_TRUE(result.is_object() && result.contains("report")) << run.out;
    const struct {
        uint64_t serial;
        int complete, upToDate;
    } expected[] = {{1, 1, 0}, {2, 1, 1}};
    for (const auto& serial : expected) {
        json figures;
        for (const json& each : result["report"]["serials"])
            if (each["serial"] == serial.serial) figures = each;
        ASSERT_TRUE(figures.is_object()) << serial.serial << ": " << result.dump();
        EXPECT_EQ(figures["addresses"], 1) << serial.serial;
        EXPECT_EQ(figures["complete"], serial.complete) << serial.serial << ": " << figures.dump();
        EXPECT_EQ(figures["incomplete"], 0) << serial.serial << ": " << figures.dump();
        EXPECT_EQ(figures["refused"], 0) << serial.serial;
        EXPECT_EQ(figures["up_to_date"], serial.upToDate) << serial.serial << ": " << figures.dump();
    }
}

// The origin's JSON log from line `from` on, read again (bounded) until done accepts it: nginx
// logs a request just after answering it.
std::vector<json> OriginRequests(const std::string& dir, size_t from,
                                 const std::function<bool(const std::vector<json>&)>& done) {
    std::vector<json> requests;
    for (int i = 0; i < 100; ++i) {
        if (i > 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        requests.clear();
        std::string text = ReadFile(dir + "/nginx/access.json");
        size_t line = 0;
        for (size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos; start = end + 1, ++line)
            if (line >= from) requests.push_back(json::parse(text.substr(start, end - start), nullptr, false));
        if (done(requests)) break;
    }
    return requests;
}

size_t OriginLineCount(const std::string& dir) {
    std::string text = ReadFile(dir + "/nginx/access.json");
    return text == "<missing>" ? 0 : static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
}

// The client requests the edge answered, "STATUS BYTES URL" each, from varnishd's shared log,
// read again (bounded) until one names url: varnishd logs a request once it is done.
std::vector<std::string> EdgeAnswers(const std::string& dir, const std::string& url) {
    std::vector<std::string> answers;
    for (int i = 0; i < 50; ++i) {
        if (i > 0) std::this_thread::sleep_for(std::chrono::milliseconds(50));
        CommandResult dump = RunCommand({"/usr/bin/varnishncsa", "-n", dir + "/varnish", "-d", "-F", "%s %b %U"}, 10);
        answers.clear();
        for (size_t start = 0, end; (end = dump.out.find('\n', start)) != std::string::npos; start = end + 1)
            answers.push_back(dump.out.substr(start, end - start));
        for (const std::string& answer : answers)
            if (answer.size() > url.size() && answer.compare(answer.size() - url.size(), url.size(), url) == 0)
                return answers;
    }
    return answers;
}

// A pack of several MiB with three bytes changed far apart, published by the publisher (which makes
// its block file) and served by nginx from "site": the exe fetches the block file and a few ranges
// and takes the rest from the installed copy, straight from nginx and through the edge, whose
// cache answers the ranges from one whole fetch. The previous release's exe, which players still
// run, reads the same offering manifest as it always did: whole files, nothing under /patch/.
TEST_F(EdgeEndToEnd, AScatteredChangeInALargePackIsPatchedAndThePreviousExeStillFetchesWholeFiles) {
    const size_t size = 6u << 20;
    const std::string old = RandomBytes(size, 39);
    std::string changed = old;
    for (size_t at : {size_t{700000}, size_t{3000000}, size_t{5900000}}) changed[at] = static_cast<char>(~changed[at]);
    AddToRelease("data/pack.pak", old);
    AddToRelease("data/readme.txt", "unchanged");
    PublishRelease(1);
    AddToRelease("data/pack.pak", changed);
    PublishRelease(2);
    const std::string manifest = ReadFile(served + "/manifest.txt");
    ASSERT_EQ(manifest.rfind("serial 2 blocks=patch min=", 0), 0u) << manifest.substr(0, 80);
    std::string sha;
    for (const PublishedEntry& entry : PublishedEntries(served))
        if (entry.path == "data/pack.pak") sha = entry.sha256;
    const std::string patch = "/patch/" + sha;
    const std::string blocks = ReadFile(served + patch + ".blocks");
    ASSERT_EQ(blocks.size(), BlockFileSizeFor(size, BlockSizeFor(size), kBlockFileStrongBytes));
    ASSERT_TRUE(StartOrigin(tree.path, served, origin)) << ReadFile(tree / "nginx/error.log");
    ASSERT_TRUE(StartEdge(tree.path, origin.port, edge)) << ReadFile(tree / "varnish/out.log");

    const struct {
        const char* name;
        bool viaEdge;
        bool previousExe;
    } rows[] = {
        {"straight from nginx", false, false},
        {"through the edge", true, false},
        {"the previous release's exe", false, true},
    };
    int run = 0;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string exe = row.previousExe ? PreviousUpdaterExe() : UpdaterExe();
        if (exe.empty()) GTEST_SKIP() << "no previous release's exe: this clone lacks its commit (see the build's warning)";
        const std::string dir = tree / ("install-" + std::to_string(++run));
        WriteFile(dir + "/data/pack.pak", old);
        const size_t logged = OriginLineCount(tree.path);
        ASSERT_EQ(RunUpdater({"/silent", "/dir", WinePath(dir), "/url", Url(row.viaEdge ? edge : origin), "/nolaunch"}, exe), 0)
            << LastLine(dir);
        EXPECT_TRUE(ReadFile(dir + "/data/pack.pak") == changed);
        EXPECT_EQ(ReadFile(dir + "/data/readme.txt"), "unchanged");
        EXPECT_EQ(FilesEndingIn(dir, ".part"), std::vector<std::string>{});

        // What the origin sent this run, by URL; the run is in once the readme's answer is.
        std::vector<json> requests = OriginRequests(tree.path, logged, [](const std::vector<json>& all) {
            for (const json& each : all)
                if (each.is_object() && each["uri"] == "/files/data/readme.txt") return true;
            return false;
        });
        uint64_t rangeBytes = 0, rangeCount = 0;
        std::map<std::string, std::vector<std::pair<int, uint64_t>>> sent;  // uri -> (status, bytes)
        for (const json& each : requests) {
            ASSERT_TRUE(each.is_object()) << OriginAccessLog(tree.path);
            sent[each["uri"].get<std::string>()].push_back({each["status"].get<int>(), each["bytes"].get<uint64_t>()});
            if (each["uri"] == patch && each["status"] == 206) {
                rangeBytes += each["bytes"].get<uint64_t>();
                ++rangeCount;
            }
        }
        using Answers = std::vector<std::pair<int, uint64_t>>;
        EXPECT_EQ(sent["/files/data/readme.txt"], (Answers{{200, 9}}));
        std::vector<std::string> lines = LogLines(dir);
        const std::string patchedPrefix = "patched data/pack.pak: ";
        unsigned long long fetched = 0, local = 0;
        unsigned ranges = 0;
        bool patchedLine = false;
        for (const std::string& line : lines) {
            if (line.rfind(patchedPrefix, 0) != 0) continue;
            char tail = 0;
            patchedLine = std::sscanf(line.c_str() + patchedPrefix.size(),
                                      "%llu bytes fetched in %u ranges, %llu bytes taken locally%c", &fetched,
                                      &ranges, &local, &tail) == 3;
        }

        if (row.previousExe) {
            // Exactly the requests of a run without block files.
            EXPECT_EQ(sent["/files/data/pack.pak"], (Answers{{200, size}}));
            for (const auto& [uri, answers] : sent) EXPECT_NE(uri.rfind("/patch/", 0), 0u) << uri;
            EXPECT_EQ(sent.size(), 4u) << OriginAccessLog(tree.path);  // manifest, signature, two files
            EXPECT_NE(std::find(lines.begin(), lines.end(), "updated data/pack.pak"), lines.end());
            EXPECT_FALSE(patchedLine);
            continue;
        }
        ASSERT_TRUE(patchedLine) << lines.size() << " lines, last: " << LastLine(dir);
        // One block per change, far below the file's size; the rest came from the installed copy.
        EXPECT_EQ(ranges, 3u);
        EXPECT_EQ(fetched, 3u * BlockSizeFor(size));
        EXPECT_EQ(fetched + local, size);
        EXPECT_EQ(sent.count("/files/data/pack.pak"), 0u);
        if (!row.viaEdge) {
            EXPECT_EQ(sent[patch + ".blocks"], (Answers{{200, blocks.size()}}));
            EXPECT_EQ(rangeCount, ranges) << OriginAccessLog(tree.path);
            EXPECT_EQ(rangeBytes, fetched);
            continue;
        }
        // The edge fetched the body once whole and answered every range from it.
        EXPECT_EQ(sent[patch], (Answers{{200, size}}));
        EXPECT_EQ(sent[patch + ".blocks"], (Answers{{200, blocks.size()}}));
        uint64_t edgeRangeBytes = 0, edgeRanges = 0;
        for (const std::string& answer : EdgeAnswers(tree.path, "/files/data/readme.txt")) {
            unsigned long long bytes = 0;
            char url[200] = {0};
            int status = 0;
            if (std::sscanf(answer.c_str(), "%d %llu %199s", &status, &bytes, url) != 3 || url != patch) continue;
            EXPECT_EQ(status, 206) << answer;
            edgeRangeBytes += bytes;
            ++edgeRanges;
        }
        EXPECT_EQ(edgeRanges, ranges);
        EXPECT_EQ(edgeRangeBytes, fetched);
    }
}

}  // namespace
