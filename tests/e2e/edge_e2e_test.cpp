// The updater under Wine through the shipped Varnish edge and nginx origin, via a mirror, and while
// a release is staged; and the rollout report of real runs from the origin's log.
#include "e2e_fixture.h"
#include "stage/cohort.h"
#include "tool_support.h"

#include <unistd.h>

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

}  // namespace
