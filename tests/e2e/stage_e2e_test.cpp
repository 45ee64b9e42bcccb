// The updater under Wine through the shipped Varnish edge and nginx origin while a release is staged.
#include "cohort.h"
#include "e2e_fixture.h"
#include "tool_support.h"

#include <unistd.h>

namespace {

class StageEndToEnd : public EndToEnd {
protected:
    WebServer origin, edge;

    void SetUp() override {
        EndToEnd::SetUp();
        if (IsSkipped()) return;
        if (access("/usr/sbin/nginx", X_OK) != 0 || access("/usr/sbin/varnishd", X_OK) != 0)
            GTEST_SKIP() << "nginx or varnishd is not installed";
    }
    CommandResult Tool(const std::vector<std::string>& args) {
        CommandResult result = RunTool(args);
        EXPECT_EQ(result.exitCode, 0) << result.err;
        return result;
    }
};

TEST_F(StageEndToEnd, OnlyARunFromInsideTheCohortInstallsTheStagedRelease) {
    AddToRelease("data/map.pak", "live map");
    AddToRelease("data/music.ogg", std::string(100000, 'm'));
    PublishRelease(1);
    // Wine connects from 127.0.0.1: a salt that puts its bucket tenth in the order keeps it out of a
    // 9 % stage and takes it in at 10 %.
    const int bucket = BucketOfAddressText("127.0.0.1");
    uint64_t salt = 0;
    while (BucketPosition(BucketOrder(salt), bucket) != 9) ++salt;
    AddToRelease("data/map.pak", "staged map");
    Tool({"stage", "--key", DevKey("quillor-dev"), "--serial", "2", "--share", "9", "--salt", std::to_string(salt),
          release, served});
    EXPECT_NE(Tool({"status", "--address", "127.0.0.1", served}).out.find(
                  "gets the live release (serial 1); joins the stage at a share of 10 %"),
              std::string::npos);
    ASSERT_TRUE(StartOrigin(tree.path, served, origin)) << ReadFile(tree / "nginx/error.log");
    ASSERT_TRUE(StartEdge(tree.path, origin.port, edge)) << ReadFile(tree / "varnish/out.log");
    const std::string url = "http://127.0.0.1:" + std::to_string(edge.port);

    ASSERT_EQ(RunSilentFrom(url, install), 0) << ReadFile(install + "/updater.log");
    EXPECT_EQ(Installed("data/map.pak"), "live map");
    EXPECT_EQ(StateFile(), "1\r\n");

    Tool({"widen", "--share", "10", served});
    ASSERT_EQ(RunSilentFrom(url, install), 0) << ReadFile(install + "/updater.log");
    EXPECT_EQ(Installed("data/map.pak"), "staged map");
    EXPECT_EQ(StateFile(), "2\r\n");
    EXPECT_EQ(Installed("data/music.ogg"), std::string(100000, 'm'));
}

}  // namespace
