// quillor-publish serve: the three kinds of request the updater makes, and everything it refuses.
#include "tool_support.h"
#include "update/http.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

namespace {

const char kUmlautPath[] = "data/Gr\xC3\xBC\xC3\x9F" "e/\xC3\xBC" "ber.txt";

class PublishServe : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(RunTool({"keygen", dir_ / "k"}).exitCode, 0);
        std::string rel = dir_ / "rel";
        for (const char* folder : {"", "/data", "/data/Maps", "/data/Gr\xC3\xBC\xC3\x9F" "e"})
            mkdir((rel + folder).c_str(), 0755);
        WriteFileText(rel + "/data/Maps/Erste Karte.pak", std::string(200000, 'm') + "end");
        WriteFileText(rel + "/" + kUmlautPath, "umlaut body");
        WriteFileText(rel + "/game.exe", "MZ");
        CommandResult published =
            RunTool({"publish", "--key", dir_ / "k.pem", "--serial", "9", rel, dir_ / "srv"});
        ASSERT_EQ(published.exitCode, 0) << published.err;
    }

    void TearDown() override { StopBackground(server_); }

    // Starts serve on a port the system picks and returns that port (0 on failure).
    int StartServe() {
        server_ = StartBackground({QUILLOR_PUBLISH_EXE, "serve", "--port", "0", dir_ / "srv"}, dir_ / "serve.log");
        std::string text = WaitForText(dir_ / "serve.log", "/ (Ctrl+C stops)");
        size_t colon = text.find("http://127.0.0.1:");
        if (colon == std::string::npos) return 0;
        return std::stoi(text.substr(colon + 17));
    }

    TempDir dir_;
    BackgroundProcess server_;
};

TEST_F(PublishServe, AnswersTheUpdatersThreeRequestsWithExactBytes) {
    int port = StartServe();
    ASSERT_GT(port, 0) << ReadFileText(dir_ / "serve.log");
    HttpReply manifest = RawHttp(port, "GET", "/manifest.txt");
    EXPECT_EQ(manifest.status, 200);
    EXPECT_EQ(manifest.body, ReadFileText(dir_ / "srv/manifest.txt"));
    HttpReply signature = RawHttp(port, "GET", "/manifest.sig");
    EXPECT_EQ(signature.status, 200);
    EXPECT_EQ(signature.body, ReadFileText(dir_ / "srv/manifest.sig"));

    EXPECT_EQ(UrlEncodePath("data/Maps/Erste Karte.pak"), "data/Maps/Erste%20Karte.pak");
    HttpReply blank = RawHttp(port, "GET", "/files/" + UrlEncodePath("data/Maps/Erste Karte.pak"));
    EXPECT_EQ(blank.status, 200);
    EXPECT_EQ(blank.body, std::string(200000, 'm') + "end");
    HttpReply umlaut = RawHttp(port, "GET", "/files/" + UrlEncodePath(kUmlautPath));
    EXPECT_EQ(umlaut.status, 200);
    EXPECT_EQ(umlaut.body, "umlaut body");

    CommandResult verified = RunTool({"verify", "--key", dir_ / "k.pub.pem", "http://127.0.0.1:" + std::to_string(port)});
    EXPECT_EQ(verified.exitCode, 0) << verified.out;

    EXPECT_EQ(StopBackground(server_), 0);
    std::string log = ReadFileText(dir_ / "serve.log");
    EXPECT_NE(log.find("GET /manifest.sig 200 256\n"), std::string::npos) << log;
    EXPECT_NE(log.find("GET /files/data/Maps/Erste%20Karte.pak 200 200003\n"), std::string::npos) << log;
    EXPECT_NE(log.find("stopped"), std::string::npos) << log;
}

TEST_F(PublishServe, NeverAnswersFromOutsideTheTreeNorListsFolders) {
    WriteFileText(dir_ / "secret.txt", "secret");
    ASSERT_EQ(symlink((dir_ / "secret.txt").c_str(), (dir_ / "srv/files/planted").c_str()), 0);
    int port = StartServe();
    ASSERT_GT(port, 0);
    const char* badRequests[] = {"/files/../../secret.txt", "/files/%2e%2e/%2e%2e/secret.txt",
                                 "/%2E%2E/secret.txt", "//etc/passwd", "/files/..%5C..%5Csecret.txt",
                                 "/files/game.exe%00.txt", "http://127.0.0.1/etc/passwd"};
    for (const char* target : badRequests) {
        HttpReply reply = RawHttp(port, "GET", target);
        EXPECT_EQ(reply.status, 400) << target;
        EXPECT_EQ(reply.body.find("secret"), std::string::npos) << target;
    }
    for (const char* target : {"/", "/files/", "/files", "/files/data", "/files/planted", "/etc/passwd"}) {
        HttpReply reply = RawHttp(port, "GET", target);
        EXPECT_EQ(reply.status, 404) << target;
        EXPECT_EQ(reply.body.find("game.exe"), std::string::npos) << target;
        EXPECT_EQ(reply.body.find("secret"), std::string::npos) << target;
    }
    for (const char* method : {"POST", "PUT", "DELETE"})
        EXPECT_EQ(RawHttp(port, method, "/manifest.txt").status, 405) << method;
    HttpReply head = RawHttp(port, "HEAD", "/manifest.txt");
    EXPECT_EQ(head.status, 200);
    EXPECT_EQ(head.body, "");
}

TEST_F(PublishServe, ABusyPortIsReportedNotHidden) {
    int port = StartServe();
    ASSERT_GT(port, 0);
    CommandResult second = RunTool({"serve", "--port", std::to_string(port), dir_ / "srv"}, 10);
    EXPECT_EQ(second.exitCode, 1);
    EXPECT_NE(second.err.find("cannot listen"), std::string::npos) << second.err;
}

}  // namespace
