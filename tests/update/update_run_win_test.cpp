// What the update run leaves in the shared status record for the window, in process against a
// loopback server that answers from memory (manifests signed with the development key at build).
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "base/settings.h"
#include "update/status.h"
#include "update/update_run.h"
#include "win_test_support.h"

namespace {

// Answers each request from a table of URL path -> (status, body), one connection at a time.
class RouteServer {
public:
    RouteServer() {
        listen_ = StartLoopbackListener(port_, 8);
        thread_ = std::thread([this] { Run(); });
    }
    ~RouteServer() {
        stop_ = true;
        thread_.join();
        StopLoopbackListener(listen_);
    }
    RouteServer(const RouteServer&) = delete;
    RouteServer& operator=(const RouteServer&) = delete;

    // Set routes before the run starts; the server thread only reads them.
    std::map<std::string, std::pair<int, std::string>> routes;
    // progressPermille as it stood when each request arrived; read after the run.
    std::vector<std::pair<std::string, int32_t>> progressAtRequest;
    std::string BaseUrl() const { return "http://127.0.0.1:" + std::to_string(port_); }

private:
    void Run() {
        while (!stop_) {
            fd_set set;
            FD_ZERO(&set);
            FD_SET(listen_, &set);
            timeval wait = {0, 50000};
            if (select(0, &set, nullptr, nullptr, &wait) != 1) continue;
            SOCKET client = accept(listen_, nullptr, nullptr);
            DWORD timeout = 10000;
            setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<char*>(&timeout), sizeof timeout);
            Answer(client);
            shutdown(client, SD_SEND);
            closesocket(client);
        }
    }
    void Answer(SOCKET client) {
        std::string head;
        char buffer[4096];
        while (head.find("\r\n\r\n") == std::string::npos && head.size() < 65536) {
            int got = recv(client, buffer, sizeof buffer, 0);
            if (got <= 0) return;
            head.append(buffer, static_cast<size_t>(got));
        }
        size_t start = head.find(' ') + 1;
        std::string path = head.substr(start, head.find(' ', start) - start);
        {
            StatusLockHold hold;
            progressAtRequest.emplace_back(path, updateStatus.progressPermille);
        }
        auto route = routes.find(path);
        int status = route == routes.end() ? 404 : route->second.first;
        std::string body = route == routes.end() ? "" : route->second.second;
        std::string answer = "HTTP/1.1 " + std::to_string(status) + " X\r\nContent-Length: " +
                             std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
        for (size_t sent = 0; sent < answer.size();) {
            int n = send(client, answer.data() + sent, static_cast<int>(answer.size() - sent), 0);
            if (n <= 0) return;
            sent += static_cast<size_t>(n);
        }
    }

    SOCKET listen_ = INVALID_SOCKET;
    unsigned short port_ = 0;
    volatile bool stop_ = false;
    std::thread thread_;
};

class UpdateRunStatus : public ::testing::Test {
protected:
    ScratchDir install;
    RouteServer server;

    void SetUp() override {
        std::string manifest, signature;
        if (!ReadWholeFile(BuildTreePath("fixtures/update_run/full.txt"), manifest) ||
            !ReadWholeFile(BuildTreePath("fixtures/update_run/full.sig"), signature)) {
            GTEST_SKIP() << "no fixtures: built with a custom public key";
        }
        Serve("full");
        server.routes["/files/a.txt"] = {200, "alpha"};
        server.routes["/files/sub/b.bin"] = {200, std::string(100000, 'b')};
        server.routes["/files/zero.txt"] = {200, ""};
        settings = DefaultSettings();
        settings.installDir = install.path;
        settings.logPath = install / L"updater.log";
        settings.baseUrl = server.BaseUrl();
        ResetUpdateStatus();
    }
    void TearDown() override { ResetUpdateStatus(); }

    void Serve(const std::string& fixture) {
        std::string manifest, signature;
        ReadWholeFile(BuildTreePath("fixtures/update_run/" + fixture + ".txt"), manifest);
        ReadWholeFile(BuildTreePath("fixtures/update_run/" + fixture + ".sig"), signature);
        server.routes["/manifest.txt"] = {200, manifest};
        server.routes["/manifest.sig"] = {200, signature};
    }
    // The worker procedure as the window runs it, on its own thread, waited for with a bound.
    void RunWorker() {
        HANDLE worker = CreateThread(nullptr, 0, UpdateWorkerProc, nullptr, 0, nullptr);
        ASSERT_NE(worker, nullptr);
        ASSERT_EQ(WaitForSingleObject(worker, 60000), WAIT_OBJECT_0);
        CloseHandle(worker);
    }
    std::string Log() {
        std::string log;
        ReadWholeFile(settings.logPath, log);
        return log;
    }
};

}  // namespace

TEST_F(UpdateRunStatus, SuccessLeavesTheFinishedRecordThenAllUpToDate) {
    DWORD before = GetTickCount();
    RunWorker();
    EXPECT_TRUE(updateStatus.finished);
    EXPECT_TRUE(updateStatus.succeeded);
    EXPECT_LE(updateStatus.finishedTick - before, 60000u);
    EXPECT_EQ(updateStatus.statusText, L"Update abgeschlossen.");
    EXPECT_EQ(updateStatus.detailText, L"");
    EXPECT_EQ(updateStatus.progressPermille, 1000);
    EXPECT_EQ(updateStatus.serverState.load(), ServerState::Connected);
    EXPECT_EQ(updateStatus.manifestSerial.load(), 5u);
    EXPECT_EQ(updateStatus.errorText, "");
    std::string b;
    EXPECT_TRUE(ReadWholeFile(install / L"sub\\b.bin", b) && b == std::string(100000, 'b'));

    ResetUpdateStatus();
    ASSERT_TRUE(RunUpdate());
    EXPECT_EQ(updateStatus.statusText, L"Alles aktuell.");
    EXPECT_EQ(updateStatus.progressPermille, 1000);
    EXPECT_FALSE(updateStatus.finished) << "RunUpdate alone never publishes the end";
}

TEST_F(UpdateRunStatus, FailureBeforeDownloadsKeepsProgressAndSerialAtZero) {
    server.routes["/manifest.sig"] = {404, ""};
    RunWorker();
    EXPECT_TRUE(updateStatus.finished);
    EXPECT_FALSE(updateStatus.succeeded);
    EXPECT_EQ(updateStatus.serverState.load(), ServerState::Unreachable);
    EXPECT_EQ(updateStatus.manifestSerial.load(), 0u);
    EXPECT_EQ(updateStatus.progressPermille, 0);
    EXPECT_EQ(updateStatus.statusText, L"Verbinde mit dem Update-Server ...");
    std::string expected = "Server antwortete mit Status 404 f\u00fcr " + server.BaseUrl() + "/manifest.sig";
    EXPECT_EQ(updateStatus.errorText, expected);
    std::string log = Log();
    EXPECT_NE(log.find("  FAILED: " + expected + "\r\n"), std::string::npos) << log;
    EXPECT_EQ(log.find("FAILED"), log.rfind("FAILED")) << "logged once";
}

TEST_F(UpdateRunStatus, BadSignatureIsConnectedButNothingInstalled) {
    server.routes["/manifest.sig"].second[10] ^= 1;
    RunWorker();
    EXPECT_FALSE(updateStatus.succeeded);
    EXPECT_EQ(updateStatus.serverState.load(), ServerState::Connected);
    EXPECT_EQ(updateStatus.manifestSerial.load(), 0u);
    EXPECT_FALSE(FileExists(install / L"a.txt"));
    EXPECT_FALSE(FileExists(install / L"updater.state"));
}

TEST_F(UpdateRunStatus, FailedDownloadKeepsItsTextsAndTheManifestSerial) {
    server.routes["/files/sub/b.bin"] = {404, ""};
    RunWorker();
    EXPECT_FALSE(updateStatus.succeeded);
    EXPECT_EQ(updateStatus.manifestSerial.load(), 5u);
    EXPECT_EQ(updateStatus.serverState.load(), ServerState::Connected);
    EXPECT_EQ(updateStatus.statusText, L"Lade Update 2 von 3 ...");
    EXPECT_EQ(updateStatus.detailText, L"sub/b.bin");
    // a.txt (5 of 100005 bytes) was done; the failed file added nothing before its 404.
    EXPECT_EQ(updateStatus.progressPermille, 0);
    EXPECT_EQ(updateStatus.errorText, "Server antwortete mit Status 404 f\u00fcr " + server.BaseUrl() +
                                          "/files/sub/b.bin (sub/b.bin)");
    EXPECT_TRUE(FileExists(install / L"a.txt"));
    EXPECT_FALSE(FileExists(install / L"sub\\b.bin.part"));
}

TEST_F(UpdateRunStatus, ProgressCountsBytesOfTheWholePlan) {
    ASSERT_TRUE(RunUpdate());
    using Seen = std::vector<std::pair<std::string, int32_t>>;
    // Plan: a.txt (5 bytes), sub/b.bin (100000), zero.txt (0); total 100005.
    EXPECT_EQ(server.progressAtRequest,
              (Seen{{"/manifest.txt", 0}, {"/manifest.sig", 0}, {"/files/a.txt", 0},
                    {"/files/sub/b.bin", 5 * 1000 / 100005}, {"/files/zero.txt", 1000}}));
}

TEST_F(UpdateRunStatus, ZeroSizePlanEndsAtFullProgress) {
    Serve("zeros");
    server.routes["/files/dir/other.txt"] = {200, ""};
    ASSERT_TRUE(RunUpdate());
    for (const auto& seen : server.progressAtRequest) EXPECT_EQ(seen.second, 0) << seen.first;
    EXPECT_EQ(updateStatus.progressPermille, 1000);
    EXPECT_EQ(updateStatus.statusText, L"Update abgeschlossen.");
    EXPECT_TRUE(FileExists(install / L"dir\\other.txt"));
    std::string state;
    EXPECT_TRUE(ReadWholeFile(install / L"updater.state", state));
    EXPECT_EQ(state, "6\r\n");
}
