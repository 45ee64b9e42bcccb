// The shipped nginx site serving a published tree: the updater's requests answered byte for byte.
#include "tool_support.h"
#include "update/http.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

namespace {

const char kNginx[] = "/usr/sbin/nginx";
const char kUmlautPath[] = "Gr\xC3\xBC\xC3\x9F" "e/M\xC3\xBC" "hle Nord.map";

TEST(PublishNginx, ShippedSiteServesTheUpdatersRequests) {
    if (access(kNginx, X_OK) != 0) GTEST_SKIP() << "nginx is not installed";
    TempDir dir;
    chmod(dir.Path().c_str(), 0755);  // the nginx workers may run as another user
    ASSERT_EQ(RunTool({"keygen", dir / "k"}).exitCode, 0);
    mkdir((dir / "rel").c_str(), 0755);
    mkdir((dir / "rel/data").c_str(), 0755);
    mkdir((dir / "rel/Gr\xC3\xBC\xC3\x9F" "e").c_str(), 0755);
    WriteFileText(dir / "rel/data/Erste Karte.pak", std::string(300000, 'n') + "tail");
    WriteFileText(dir / "rel" + "/" + kUmlautPath, "mill");
    AgeTree(dir / "rel");
    ASSERT_EQ(RunTool({"publish", "--key", dir / "k.pem", "--serial", "2", dir / "rel", dir / "srv"}).exitCode, 0);

    WebServer origin;
    ASSERT_TRUE(StartOrigin(dir.Path(), dir / "srv", origin))
        << "nginx-site.conf no longer has the expected listen/root lines, or nginx failed: "
        << ReadFileText(dir / "nginx/error.log") << ReadFileText(dir / "nginx/out.log");
    int port = origin.port;
    HttpReply manifest = RawHttp(port, "GET", "/manifest.txt");
    EXPECT_EQ(manifest.status, 200);
    EXPECT_EQ(manifest.body, ReadFileText(dir / "srv/manifest.txt"));
    HttpReply signature = RawHttp(port, "GET", "/manifest.sig");
    EXPECT_EQ(signature.status, 200);
    EXPECT_EQ(signature.body, ReadFileText(dir / "srv/manifest.sig"));
    HttpReply blank = RawHttp(port, "GET", "/files/" + UrlEncodePath("data/Erste Karte.pak"));
    EXPECT_EQ(blank.status, 200);
    EXPECT_EQ(blank.body, std::string(300000, 'n') + "tail");
    HttpReply umlaut = RawHttp(port, "GET", "/files/" + UrlEncodePath(kUmlautPath));
    EXPECT_EQ(umlaut.status, 200);
    EXPECT_EQ(umlaut.body, "mill");

    EXPECT_EQ(RawHttp(port, "POST", "/manifest.txt").status, 405);
    EXPECT_EQ(RawHttp(port, "GET", "/files/").status, 404);
    EXPECT_EQ(RawHttp(port, "GET", "/files/data/").status, 404);
    EXPECT_EQ(RawHttp(port, "GET", "/%2e%2e/%2e%2e/etc/passwd").status, 400);
    // The root is a link (the player's bucket); a link inside the tree is still refused.
    ASSERT_EQ(symlink("/etc/passwd", (dir / "srv/files/data/passwd").c_str()), 0);
    EXPECT_EQ(RawHttp(port, "GET", "/files/data/passwd").status, 404);
    ASSERT_EQ(unlink((dir / "srv/files/data/passwd").c_str()), 0);
    CommandResult verified =
        RunTool({"verify", "--key", dir / "k.pub.pem", "http://127.0.0.1:" + std::to_string(port) + "/"});
    EXPECT_EQ(verified.exitCode, 0) << verified.out;
    // A re-publish whose files are hard links into the old tree is served the same way.
    CommandResult again = RunTool({"publish", "--key", dir / "k.pem", "--serial", "3", dir / "rel", dir / "srv"});
    EXPECT_NE(again.out.find("2 taken over unchanged"), std::string::npos) << again.out;
    std::string base = "http://127.0.0.1:" + std::to_string(port);
    EXPECT_EQ(RunTool({"verify", "--key", dir / "k.pub.pem", base}).exitCode, 0);
    EXPECT_EQ(RunTool({"diff", dir / "rel", base}).exitCode, 0);
    StopWebServer(origin);
}

}  // namespace
