// The publisher's GET client against a loopback server that answers raw bytes.
#include "check/http_get.h"
#include "e2e_server.h"
#include "tool_support.h"

#include <gtest/gtest.h>

// The GET client's reading of answers, each sent raw by the loopback server: the three ways a body
// ends, and a clear refusal of every answer past a limit or out of form.
TEST(PublishHttpGet, ReadsBodiesAndRefusesWhatIsPastItsLimits) {
    TempDir dir;
    LoopbackServer server(dir.Path());
    ASSERT_NE(server.Port(), 0);
    const std::string ok = "HTTP/1.1 200 OK\r\n";
    std::string hundred, longLine = "X-Long: " + std::string(8192, 'l') + "\r\n";
    for (int n = 0; n < 100; ++n) hundred += "X-" + std::to_string(n) + ": v\r\n";
    struct Case {
        std::string raw;
        size_t stopAbove;  // onBody stops once more than this has come
        int status;
        const char* body;  // nullptr: HttpGet fails with error
        const char* error;
    };
    const Case cases[] = {
        {ok + "Content-Length: 5\r\n\r\nhello, more", 99, 200, "hello", ""},
        {ok + "Transfer-Encoding: chunked\r\n\r\n5;x=y\r\nhello\r\n6\r\n world\r\n0\r\nX-T: 1\r\n\r\n", 99, 200,
         "hello world", ""},
        {"HTTP/1.0 200 OK\r\n\r\nall until the close", 99, 200, "all until the close", ""},
        {ok + hundred + "\r\nfine", 99, 200, "fine", ""},
        {"HTTP/1.1 302 Found\r\nLocation: /else\r\nContent-Length: 3\r\n\r\nabc", 99, 302, "", ""},
        {ok + "Content-Length: 10\r\n\r\nabc", 99, 200, nullptr, "the connection closed 7 bytes before the body's end"},
        {ok + "Content-Length: 9\r\n\r\nabcdefghi", 3, 200, nullptr, "stopped by the reader"},
        {ok + hundred + "X-100: v\r\n\r\n", 99, 200, nullptr, "more than 100 header lines"},
        {ok + longLine + "\r\n", 99, 200, nullptr, "a header line is longer than 8192 bytes"},
        {"HTTP/1.1 200 " + std::string(8192, 'k') + "\r\n\r\n", 99, 0, nullptr, "the status line is longer than 8192 bytes"},
        {"SSH-2.0-OpenSSH\r\n\r\n", 99, 0, nullptr, "not an HTTP/1.x status line"},
        {ok + "Header without colon\r\n\r\n", 99, 200, nullptr, "a header line without a name"},
        {ok + "Content-Length: 1\r\nContent-Length: 2\r\n\r\nab", 99, 200, nullptr, "two different Content-Length"},
        {ok + "Content-Length: -1\r\n\r\n", 99, 200, nullptr, "not a Content-Length"},
        {ok + "Transfer-Encoding: gzip\r\n\r\n", 99, 200, nullptr, "transfer coding \"gzip\" is not supported"},
        {ok + "Transfer-Encoding: chunked\r\n\r\nzz\r\n", 99, 200, nullptr, "not a chunk size"},
        {ok + "Transfer-Encoding: chunked\r\n\r\n1" + std::string(1100, ' ') + "\r\n", 99, 200, nullptr,
         "a chunk-size line is longer than 1024 bytes"},
        {ok + "Transfer-Encoding: chunked\r\n\r\n2\r\nabc\r\n0\r\n\r\n", 99, 200, nullptr, "a chunk longer than its size"},
        {ok + "Transfer-Encoding: chunked\r\n\r\n10000000000000000\r\n", 99, 200, nullptr, "not a chunk size"},
    };
    for (const Case& test : cases) {
        Misbehaviour how;
        how.raw = test.raw;
        server.ClearOverrides();
        server.Override("/r", how);
        HttpGetRequest request;
        request.hostPort = "127.0.0.1:" + std::to_string(server.Port());
        request.path = "/r";
        request.deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        std::string body, error;
        HttpGetAnswer answer;
        bool whole = HttpGet(
            request,
            [&](const char* data, size_t size) {
                body.append(data, size);
                return body.size() <= test.stopAbove;
            },
            answer, error);
        std::string label = test.raw.substr(0, 60);
        EXPECT_EQ(whole, test.body != nullptr) << label << ": " << error;
        EXPECT_EQ(answer.status, test.status) << label;
        if (test.body) {
            EXPECT_EQ(body, test.body) << label;
        }
        EXPECT_NE(error.find(test.error), std::string::npos) << label << ": " << error;
        EXPECT_FALSE(answer.late) << label;
    }
}
