// HttpGet against a loopback responder that sends exactly the bytes each test scripts.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "update/http.h"
#include "update/status.h"
#include "win_test_support.h"

namespace {

// One step of an answer: bytes to send, then an optional pause (cut short when the test ends).
struct Step {
    std::string bytes;
    DWORD pauseMs = 0;
};
using Script = std::vector<Step>;

// Listens on 127.0.0.1 at a free port; each accepted connection plays the next script and is
// closed after it. Every wait is bounded, and the thread is joined by the destructor.
class ScriptedServer {
public:
    ScriptedServer() {
        stop_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        listen_ = StartLoopbackListener(port_, 4);
    }
    ~ScriptedServer() {
        SetEvent(stop_);
        if (thread_.joinable()) thread_.join();
        StopLoopbackListener(listen_);
        CloseHandle(stop_);
    }
    ScriptedServer(const ScriptedServer&) = delete;
    ScriptedServer& operator=(const ScriptedServer&) = delete;

    void Serve(std::vector<Script> scripts) {
        scripts_ = std::move(scripts);
        thread_ = std::thread([this] { Run(); });
    }
    unsigned short port() const { return port_; }
    std::string Url(const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(port_) + path;
    }
    // Request heads as received; read them only after the transfer returned.
    std::vector<std::string> requests;

private:
    void Run() {
        for (const Script& script : scripts_) {
            SOCKET client = AcceptBounded();
            if (client == INVALID_SOCKET) return;
            requests.push_back(ReadHead(client));
            Play(client, script);
            shutdown(client, SD_SEND);
            closesocket(client);
        }
    }
    SOCKET AcceptBounded() {
        for (int slice = 0; slice < 300; ++slice) {  // at most 30 s
            if (WaitForSingleObject(stop_, 0) == WAIT_OBJECT_0) return INVALID_SOCKET;
            fd_set set;
            FD_ZERO(&set);
            FD_SET(listen_, &set);
            timeval wait = {0, 100000};
            if (select(0, &set, nullptr, nullptr, &wait) == 1) {
                SOCKET client = accept(listen_, nullptr, nullptr);
                DWORD timeout = 10000;
                setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<char*>(&timeout), sizeof timeout);
                setsockopt(client, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<char*>(&timeout), sizeof timeout);
                return client;
            }
        }
        return INVALID_SOCKET;
    }
    static std::string ReadHead(SOCKET client) {
        std::string head;
        char buffer[4096];
        while (head.find("\r\n\r\n") == std::string::npos && head.size() < 65536) {
            int got = recv(client, buffer, sizeof buffer, 0);
            if (got <= 0) break;
            head.append(buffer, static_cast<size_t>(got));
        }
        return head;
    }
    void Play(SOCKET client, const Script& script) {
        for (const Step& step : script) {
            size_t sent = 0;
            while (sent < step.bytes.size()) {
                int chunk = static_cast<int>(std::min<size_t>(step.bytes.size() - sent, 1 << 20));
                int n = send(client, step.bytes.data() + sent, chunk, 0);
                if (n <= 0) return;  // the client gave up on this answer
                sent += static_cast<size_t>(n);
            }
            if (step.pauseMs && WaitForSingleObject(stop_, step.pauseMs) == WAIT_OBJECT_0) return;
        }
    }

    SOCKET listen_ = INVALID_SOCKET;
    HANDLE stop_ = nullptr;
    unsigned short port_ = 0;
    std::vector<Script> scripts_;
    std::thread thread_;
};

std::string Answer200(const std::string& body) {
    return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\nConnection: close\r\n\r\n" + body;
}

std::string Pattern(size_t size) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
    return bytes;
}

std::string AsString(const std::vector<uint8_t>& body) { return std::string(body.begin(), body.end()); }

// A fresh file to download into; the handle is closed by the destructor or Close().
struct TargetFile {
    ScratchDir dir;
    std::wstring path = dir / L"target.part";
    HANDLE handle = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    ~TargetFile() { Close(); }
    void Close() {
        if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
        handle = INVALID_HANDLE_VALUE;
    }
    std::string Contents() {
        Close();
        std::string bytes;
        ReadWholeFile(path, bytes);
        return bytes;
    }
};

const char kUnreachablePrefix[] =
    "Der Update-Server ist nicht erreichbar. Ist der Server online und deine "
    "Internetverbindung in Ordnung? (Fehler ";

}  // namespace

TEST(HttpGet, FetchesBodyIntoMemoryAndFileWithUserAgentAndUnchangedPath) {
    ScriptedServer server;
    std::string payload = Pattern(200000);
    server.Serve({{{Answer200(payload)}}});
    TargetFile target;
    std::vector<uint8_t> body;
    uint64_t received = 12345;
    std::string error = "untouched";
    std::string url = server.Url("/files/data/Erste%20Karte.pak");
    ASSERT_TRUE(HttpGet(url, &body, target.handle, &received, 0, 0, error));
    EXPECT_EQ(error, "untouched");
    EXPECT_EQ(received, payload.size());
    EXPECT_EQ(AsString(body), payload);
    EXPECT_EQ(target.Contents(), payload);
    ASSERT_EQ(server.requests.size(), 1u);
    EXPECT_EQ(server.requests[0].rfind("GET /files/data/Erste%20Karte.pak HTTP/1.1\r\n", 0), 0u);
    EXPECT_NE(server.requests[0].find("User-Agent: Quillor-Updater/1.0\r\n"), std::string::npos);
}

TEST(HttpGet, BodyEdgesEmptyExactChunkAndUntilClose) {
    {
        ScriptedServer server;
        server.Serve({{{Answer200("")}}});
        std::vector<uint8_t> body;
        uint64_t received = 99;
        std::string error;
        ASSERT_TRUE(HttpGet(server.Url("/empty"), &body, nullptr, &received, 0, 0, error)) << error;
        EXPECT_TRUE(body.empty());
        EXPECT_EQ(received, 0u);
    }
    {
        ScriptedServer server;
        std::string payload = Pattern(65536);
        server.Serve({{{Answer200(payload)}}});
        TargetFile target;
        uint64_t received = 0;
        std::string error;
        ASSERT_TRUE(HttpGet(server.Url("/chunk"), nullptr, target.handle, &received, 0, 0, error)) << error;
        EXPECT_EQ(received, 65536u);
        EXPECT_EQ(target.Contents(), payload);
    }
    {
        // No length given: the body ends where the server closes the connection.
        ScriptedServer server;
        std::string payload = Pattern(70001);
        server.Serve({{{"HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n", 50}, {payload}}});
        std::vector<uint8_t> body;
        std::string error;
        ASSERT_TRUE(HttpGet(server.Url("/open-end"), &body, nullptr, nullptr, 0, 0, error)) << error;
        EXPECT_EQ(AsString(body), payload);
    }
}

TEST(HttpGet, FollowsRedirectToTheFinalAnswer) {
    ScriptedServer server;
    std::string payload = "final bytes";
    server.Serve({{{"HTTP/1.1 302 Found\r\nLocation: " + server.Url("/moved/here") +
                    "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n"}},
                  {{Answer200(payload)}}});
    std::vector<uint8_t> body;
    std::string error;
    ASSERT_TRUE(HttpGet(server.Url("/old"), &body, nullptr, nullptr, 0, 0, error)) << error;
    EXPECT_EQ(AsString(body), payload);
    ASSERT_EQ(server.requests.size(), 2u);
    EXPECT_EQ(server.requests[1].rfind("GET /moved/here ", 0), 0u);
}

TEST(HttpGet, StatusOtherThan200FailsWithStatusAndWholeUrlAndWritesNothing) {
    {
        ScriptedServer server;
        std::string page = "<html>not here</html>";
        server.Serve({{{"HTTP/1.1 404 Not Found\r\nContent-Length: " + std::to_string(page.size()) +
                        "\r\nConnection: close\r\n\r\n" + page}}});
        TargetFile target;
        std::vector<uint8_t> body;
        uint64_t received = 7;
        std::string error;
        std::string url = server.Url("/files/missing.pak");
        EXPECT_FALSE(HttpGet(url, &body, target.handle, &received, 0, 1000, error));
        EXPECT_EQ(error, "Server antwortete mit Status 404 für " + url);
        EXPECT_TRUE(body.empty());
        EXPECT_EQ(received, 7u);
        EXPECT_EQ(target.Contents(), "");
    }
    {
        // Far longer than any fixed message buffer: the URL must still appear whole.
        ScriptedServer server;
        server.Serve({{{"HTTP/1.1 500 Internal Server Error\r\nContent-Length: 0\r\nConnection: close\r\n\r\n"}}});
        std::string url = server.Url("/files/" + std::string(400, 'x') + "/%C3%BCber.pak");
        ASSERT_GT(url.size(), 300u);
        std::string error;
        EXPECT_FALSE(HttpGet(url, nullptr, nullptr, nullptr, 0, 0, error));
        EXPECT_EQ(error, "Server antwortete mit Status 500 für " + url);
    }
}

TEST(HttpGet, RefusedConnectionGivesUnreachableMessageWithCode) {
    // A port that was free a moment ago and has nobody listening now.
    unsigned short port;
    {
        ScriptedServer probe;
        port = probe.port();
    }
    std::string error;
    std::string url = "http://127.0.0.1:" + std::to_string(port) + "/manifest.txt";
    EXPECT_FALSE(HttpGet(url, nullptr, nullptr, nullptr, 0, 0, error));
    ASSERT_EQ(error.rfind(kUnreachablePrefix, 0), 0u) << error;
    std::string code = error.substr(sizeof kUnreachablePrefix - 1);
    ASSERT_GE(code.size(), 2u);
    EXPECT_EQ(code.back(), ')');
    EXPECT_NE(code[0], '0') << "the system's error code belongs in the message";
}

TEST(HttpGet, ProgressIsPublishedOnlyWithATotal) {
    {
        ScriptedServer server;
        server.Serve({{{Answer200(Pattern(300))}}});
        SetProgress(777);
        std::string error;
        ASSERT_TRUE(HttpGet(server.Url("/a"), nullptr, nullptr, nullptr, 100, 0, error)) << error;
        StatusLockHold hold;
        EXPECT_EQ(updateStatus.progressPermille, 777);
    }
    {
        ScriptedServer server;
        server.Serve({{{Answer200(Pattern(500))}}});
        SetProgress(0);
        std::string error;
        ASSERT_TRUE(HttpGet(server.Url("/b"), nullptr, nullptr, nullptr, 500, 2000, error)) << error;
        StatusLockHold hold;
        EXPECT_EQ(updateStatus.progressPermille, 500);
    }
    {
        // A body longer than announced is not clamped: the file check reports it later.
        ScriptedServer server;
        server.Serve({{{Answer200(Pattern(3000))}}});
        SetProgress(0);
        std::string error;
        ASSERT_TRUE(HttpGet(server.Url("/c"), nullptr, nullptr, nullptr, 0, 2000, error)) << error;
        StatusLockHold hold;
        EXPECT_EQ(updateStatus.progressPermille, 1500);
    }
    ResetUpdateStatus();
}

TEST(HttpGet, BodyBeyondLimitFailsWithMemoryAndFileBounded) {
    {
        // The server would go on sending; the failure must come without waiting for the end.
        ScriptedServer server;
        server.Serve({{{"HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n" + Pattern(300000), 30000}}});
        TargetFile target;
        std::vector<uint8_t> body;
        uint64_t received = 5;
        bool exceeded = false;
        std::string error;
        std::string url = server.Url("/manifest.sig");
        DWORD start = GetTickCount();
        EXPECT_FALSE(HttpGet(url, &body, target.handle, &received, 0, 0, error, 65536, &exceeded));
        EXPECT_LT(GetTickCount() - start, 15000u);
        EXPECT_TRUE(exceeded);
        EXPECT_EQ(error, "Die Antwort des Servers ist zu groß (mehr als 65536 Bytes) für " + url);
        EXPECT_LE(body.size(), 65536u);
        EXPECT_LE(target.Contents().size(), 65536u);
        EXPECT_EQ(received, 5u);
    }
    {
        ScriptedServer server;
        server.Serve({{{Answer200("x")}}});
        TargetFile target;
        bool exceeded = false;
        std::string error;
        EXPECT_FALSE(HttpGet(server.Url("/zero"), nullptr, target.handle, nullptr, 0, 0, error, 0, &exceeded));
        EXPECT_TRUE(exceeded);
        EXPECT_EQ(target.Contents(), "");
    }
    {
        // Exactly at the limit is fine, and so is an empty body under a limit of 0.
        ScriptedServer server;
        std::string payload = Pattern(1000);
        server.Serve({{{Answer200(payload)}}, {{Answer200("")}}});
        std::vector<uint8_t> body;
        bool exceeded = true;
        std::string error;
        EXPECT_TRUE(HttpGet(server.Url("/exact"), &body, nullptr, nullptr, 0, 0, error, 1000, &exceeded)) << error;
        EXPECT_FALSE(exceeded);
        EXPECT_EQ(AsString(body), payload);
        EXPECT_TRUE(HttpGet(server.Url("/none"), nullptr, nullptr, nullptr, 0, 0, error, 0, &exceeded)) << error;
        EXPECT_FALSE(exceeded);
    }
}

TEST(HttpGet, FileThatRefusesWritesFailsTheTransfer) {
    ScriptedServer server;
    server.Serve({{{Answer200("some bytes")}}});
    ScratchDir dir;
    std::wstring path = dir / L"readonly.part";
    ASSERT_TRUE(WriteWholeFile(path, ""));
    HANDLE readOnly = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(readOnly, INVALID_HANDLE_VALUE);
    uint64_t received = 3;
    std::string error;
    EXPECT_FALSE(HttpGet(server.Url("/f"), nullptr, readOnly, &received, 0, 0, error));
    CloseHandle(readOnly);
    EXPECT_EQ(error, "Datei konnte nicht geschrieben werden");
    EXPECT_EQ(received, 3u);
}

// Waits out the 20 s receive time-out once; the only slow test here.
TEST(HttpGet, ServerStallingMidBodyIsAnInterruptedDownload) {
    ScriptedServer server;
    server.Serve({{{"HTTP/1.1 200 OK\r\nContent-Length: 100000\r\nConnection: close\r\n\r\n" +
                        Pattern(1000),
                    40000}}});
    TargetFile target;
    uint64_t received = 1;
    std::string error;
    DWORD start = GetTickCount();
    EXPECT_FALSE(HttpGet(server.Url("/slow"), nullptr, target.handle, &received, 0, 0, error));
    DWORD elapsed = GetTickCount() - start;
    EXPECT_EQ(error, "Download unterbrochen");
    EXPECT_EQ(received, 1u);
    EXPECT_GE(elapsed, 15000u);
    EXPECT_LT(elapsed, 35000u);
    std::string written = target.Contents();
    EXPECT_EQ(written, Pattern(1000).substr(0, written.size()));
}

namespace {

std::string Answer206(const std::string& contentRange, const std::string& body,
                      const std::string& length = "") {
    return "HTTP/1.1 206 Partial Content\r\nContent-Length: " +
           (length.empty() ? std::to_string(body.size()) : length) + "\r\n" +
           (contentRange.empty() ? "" : "Content-Range: " + contentRange + "\r\n") +
           "Connection: close\r\n\r\n" + body;
}

}  // namespace

TEST(HttpGetRange, TakesExactlyTheAskedRangeAndNamesEveryOtherAnswer) {
    const uint64_t first = 5000000000ull, last = first + 9, size = 6000000000ull;
    const std::string ten = "0123456789";
    const std::string good = "bytes 5000000000-5000000009/6000000000";
    struct Row {
        const char* name;
        std::string answer;
        bool refuse;  // the consumer refuses what it gets
        RangeOutcome outcome;
        std::string reason;  // prefix, for Anomaly
        std::string taken;
    };
    const Row rows[] = {
        {"206 beyond 32 bits", Answer206(good, ten), false, RangeOutcome::Complete, "", ten},
        {"200", Answer200(ten), false, RangeOutcome::Anomaly, "the server ignored Range (status 200)", ""},
        {"416", "HTTP/1.1 416 Range Not Satisfiable\r\nContent-Length: 0\r\nConnection: close\r\n\r\n",
         false, RangeOutcome::Anomaly, "the server answered status 416", ""},
        {"501", "HTTP/1.1 501 Not Implemented\r\nContent-Length: 0\r\nConnection: close\r\n\r\n", false,
         RangeOutcome::Anomaly, "the server answered status 501", ""},
        {"other start", Answer206("bytes 5000000001-5000000010/6000000000", ten), false,
         RangeOutcome::Anomaly, "wrong Content-Range \"bytes 5000000001-5000000010/6000000000\"", ""},
        {"other total", Answer206("bytes 5000000000-5000000009/6000000001", ten), false,
         RangeOutcome::Anomaly, "wrong Content-Range", ""},
        {"cut to 32 bits", Answer206("bytes 705032704-705032713/1705032704", ten), false,
         RangeOutcome::Anomaly, "wrong Content-Range", ""},
        {"no Content-Range", Answer206("", ten), false, RangeOutcome::Anomaly, "wrong Content-Range \"\"", ""},
        {"Content-Length other than the range", Answer206(good, ten + "x", "11"), false,
         RangeOutcome::Anomaly, "wrong Content-Length \"11\"", ""},
        {"body cut short", Answer206(good, "01234", "10"), false, RangeOutcome::Cut, "", "01234"},
        {"refused by the consumer", Answer206(good, ten), true, RangeOutcome::Anomaly, "block 7 failed", ten},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ScriptedServer server;
        server.Serve({{{row.answer}}});
        std::string taken;
        RangeConsumer consume = [&](const uint8_t* data, size_t n, std::string& why) {
            taken.append(reinterpret_cast<const char*>(data), n);
            if (row.refuse) why = "block 7 failed its hash";
            return !row.refuse;
        };
        std::string reason, error;
        RangeOutcome outcome = HttpGetRange(server.Url("/patch/abc"), first, last, size, consume, reason, error);
        EXPECT_EQ(static_cast<int>(outcome), static_cast<int>(row.outcome));
        EXPECT_EQ(reason.rfind(row.reason, 0), 0u) << reason;
        EXPECT_EQ(taken, row.taken);
        if (row.outcome == RangeOutcome::Cut) {
            EXPECT_EQ(error, "Download unterbrochen");
        }
        ASSERT_EQ(server.requests.size(), 1u);
        EXPECT_EQ(server.requests[0].rfind("GET /patch/abc HTTP/1.1\r\n", 0), 0u);
        EXPECT_NE(server.requests[0].find("\r\nRange: bytes=5000000000-5000000009\r\n"), std::string::npos);
    }
}

// Where the caller takes a whole body, a 200 is read into it instead of being turned away.
TEST(HttpGetRange, TakesAWholeAnswerOnlyWhereAskedAndOnlyOfTheBodysSize) {
    const std::string ten = "0123456789";
    struct Row {
        const char* name;
        std::string answer;
        RangeOutcome outcome;
        std::string reason;  // prefix
        std::string whole;   // what the whole-body consumer took
        std::string ranged;  // what the range consumer took
    };
    const Row rows[] = {
        {"a 200 of the body's size", Answer200(ten), RangeOutcome::WholeBody,
         "the server ignored Range (status 200)", ten, ""},
        {"a 200 longer than the body", Answer200(ten + "x"), RangeOutcome::Anomaly,
         "the answer's body is longer than asked", "", ""},
        {"a 200 cut short", "HTTP/1.1 200 OK\r\nContent-Length: 10\r\nConnection: close\r\n\r\n01234",
         RangeOutcome::Cut, "", "01234", ""},
        {"a 206 still goes to the range", Answer206("bytes 2-4/10", "234"), RangeOutcome::Complete, "", "", "234"},
        {"a 416 is not taken", "HTTP/1.1 416 Range Not Satisfiable\r\nContent-Length: 3\r\nConnection: close\r\n\r\nabc",
         RangeOutcome::Anomaly, "the server answered status 416", "", ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ScriptedServer server;
        server.Serve({{{row.answer}}});
        std::string whole, ranged;
        RangeConsumer consume = [&](const uint8_t* data, size_t n, std::string&) {
            ranged.append(reinterpret_cast<const char*>(data), n);
            return true;
        };
        RangeConsumer takeWhole = [&](const uint8_t* data, size_t n, std::string&) {
            whole.append(reinterpret_cast<const char*>(data), n);
            return true;
        };
        std::string reason, error;
        RangeOutcome outcome = HttpGetRange(server.Url("/patch/abc"), 2, 4, 10, consume, reason, error, &takeWhole);
        EXPECT_EQ(static_cast<int>(outcome), static_cast<int>(row.outcome));
        EXPECT_EQ(reason.rfind(row.reason, 0), 0u) << reason;
        EXPECT_EQ(whole, row.whole);
        EXPECT_EQ(ranged, row.ranged);
    }
}
