// A loopback HTTP server for the end-to-end tests: serves a published tree, and any path can be
// told to misbehave (status, redirect, other body, wrong length, stall). It can also add headers
// to every answer and ask for credentials.
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// How the server answers one URL path instead of serving the file.
struct Misbehaviour {
    int status = 200;            // anything else: this status with a short body
    std::string location;        // with status 301/302: the redirect target (a URL path)
    bool replaceBody = false;    // send body instead of the file's bytes
    std::string body;
    int64_t declaredLength = -1; // Content-Length to announce; more than sent = truncated body
    int64_t stallAfter = -1;     // send this many body bytes, then wait for ReleaseStall()
    bool resumeAfterStall = false;  // after ReleaseStall() send the rest instead of closing
    bool endless = false;        // send the body again and again until the client goes away
    bool trickleHeaders = false; // send the status line, then header bytes one a second (at most 60)
    bool endlessHeaders = false; // send the status line, then header lines as fast as they are taken
    std::string raw;             // when set: these bytes are the whole answer
};

// How the server meets "Range: bytes=a-b" on files it serves.
enum class RangeMode {
    Honour,             // 206 with that range (416 when it lies beyond the file)
    Ignore,             // 200 with the whole file
    Refuse,             // 416 to every range
    WrongContentRange,  // 206 with the asked bytes, but a Content-Range one byte further on
};

// One answer, as the server's own log keeps it.
struct ServedAnswer {
    std::string path;       // URL path as requested
    std::string range;      // the Range header's value, empty when none was sent
    int status = 0;
    uint64_t bodyBytes = 0; // body bytes the client took
};

class LoopbackServer {
public:
    // Serves root + the percent-decoded URL path, on a loopback address and a free port.
    explicit LoopbackServer(std::string root, std::string host = "127.0.0.1");
    ~LoopbackServer();
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    int Port() const { return port_; }
    std::string BaseUrl() const { return "http://" + address_ + ":" + std::to_string(port_); }
    void SetRoot(const std::string& root);
    // Header lines ("Name: value\r\n") sent with every answer that serves a file.
    void SetExtraHeaders(const std::string& lines);
    // Requests without "Authorization: <value>" get 401 with a Basic challenge.
    void RequireAuthorization(const std::string& value);
    void Override(const std::string& urlPath, const Misbehaviour& behaviour);
    void ClearOverrides();

    // Waits (bounded) until a stalled answer has sent its first part; true when it has.
    bool WaitUntilStalled(int timeoutMs);
    // Lets every stalled answer end (it closes the connection without the rest).
    void ReleaseStall();
    // After a release: the next answers stall again, and WaitUntilStalled waits for a new stall.
    void RearmStall();
    // URL paths requested so far, in order.
    std::vector<std::string> Requests();
    void SetRangeMode(RangeMode mode);
    // Every answer so far, in order (files, overrides and errors alike).
    std::vector<ServedAnswer> Answers();

private:
    void AcceptLoop();
    void Serve(int client);
    void Answer(int client, const std::string& urlPath, const std::string& head);
    void SendFile(int client, const std::string& path, const Misbehaviour& how, ServedAnswer& answer,
                  const std::string& range);
    void Record(const ServedAnswer& answer);

    int listener_ = -1;
    int port_ = 0;
    std::string address_;
    std::atomic<bool> stopping_{false};
    std::mutex mutex_;
    std::condition_variable stallChanged_;
    bool stalled_ = false;
    bool released_ = false;
    std::string root_;
    std::string extraHeaders_;
    std::string authorization_;
    std::map<std::string, Misbehaviour> overrides_;
    std::vector<std::string> requests_;
    std::vector<ServedAnswer> answers_;
    RangeMode rangeMode_ = RangeMode::Honour;
    std::thread acceptThread_;
    std::vector<std::thread> workers_;
};

// "/files/a%20b" -> "/files/a b"
std::string PercentDecode(const std::string& text);
