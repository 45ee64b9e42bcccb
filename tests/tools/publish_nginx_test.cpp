// The shipped nginx site serving a published tree: the updater's requests answered byte for byte.
#include "tool_support.h"
#include "update/http.h"

#include <gtest/gtest.h>

#include <chrono>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

const char kNginx[] = "/usr/sbin/nginx";
const char kUmlautPath[] = "Gr\xC3\xBC\xC3\x9F" "e/M\xC3\xBC" "hle Nord.map";

// The site file with its port and root replaced, inside a minimal main configuration.
std::string NginxConfig(const std::string& prefix, const std::string& root, int port) {
    std::string site = ReadFileText(QUILLOR_SOURCE_DIR "/tools/publish/nginx-site.conf");
    auto replace = [&site](const std::string& from, const std::string& to) {
        size_t at = site.find(from);
        if (at != std::string::npos) site.replace(at, from.size(), to);
        return at != std::string::npos;
    };
    if (!replace("listen 8080;", "listen 127.0.0.1:" + std::to_string(port) + ";") ||
        !replace("root /srv/quillor/server;", "root " + root + ";"))
        return std::string();
    return "daemon off;\nworker_processes 1;\npid " + prefix + "/nginx.pid;\n"
           "error_log " + prefix + "/error.log;\nevents { worker_connections 64; }\nhttp {\n"
           "access_log " + prefix + "/access.log;\nclient_body_temp_path " + prefix + "/body;\n"
           "proxy_temp_path " + prefix + "/proxy;\nfastcgi_temp_path " + prefix + "/fastcgi;\n"
           "uwsgi_temp_path " + prefix + "/uwsgi;\nscgi_temp_path " + prefix + "/scgi;\n"
           "types { text/plain txt; }\ndefault_type application/octet-stream;\n" + site + "}\n";
}

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

    int port = FreeLoopbackPort();
    ASSERT_GT(port, 0);
    std::string config = NginxConfig(dir.Path(), dir / "srv", port);
    ASSERT_FALSE(config.empty()) << "nginx-site.conf no longer has the expected listen/root lines";
    WriteFileText(dir / "nginx.conf", config);
    BackgroundProcess nginx = StartBackground(
        {kNginx, "-p", dir.Path(), "-c", dir / "nginx.conf", "-e", dir / "error.log"}, dir / "nginx.out");
    HttpReply manifest;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (manifest.status == 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        manifest = RawHttp(port, "GET", "/manifest.txt", 5);
    }
    EXPECT_EQ(manifest.status, 200) << ReadFileText(dir / "error.log") << ReadFileText(dir / "nginx.out");
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
    CommandResult verified =
        RunTool({"verify", "--key", dir / "k.pub.pem", "http://127.0.0.1:" + std::to_string(port) + "/"});
    EXPECT_EQ(verified.exitCode, 0) << verified.out;
    // A re-publish whose files are hard links into the old tree is served the same way.
    CommandResult again = RunTool({"publish", "--key", dir / "k.pem", "--serial", "3", dir / "rel", dir / "srv"});
    EXPECT_NE(again.out.find("2 taken over unchanged"), std::string::npos) << again.out;
    std::string base = "http://127.0.0.1:" + std::to_string(port);
    EXPECT_EQ(RunTool({"verify", "--key", dir / "k.pub.pem", base}).exitCode, 0);
    EXPECT_EQ(RunTool({"diff", dir / "rel", base}).exitCode, 0);
    EXPECT_EQ(StopBackground(nginx), 0);
}

}  // namespace
