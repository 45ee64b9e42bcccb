// One HTTP/1.1 GET over a plain TCP socket, every wait bounded by one deadline.
#pragma once
#include <chrono>
#include <cstddef>
#include <functional>
#include <string>

constexpr size_t kHttpLineLimit = 8192;      // the status line and each header line
constexpr int kHttpHeaderLineLimit = 100;    // header lines of one answer (and of a chunked trailer)
constexpr size_t kHttpChunkLineLimit = 1024; // a chunk-size line, extensions included

struct HttpGetRequest {
    std::string hostPort;  // "host", "host:port" or "[v6]:port"
    std::string path;      // sent as given: already encoded
    std::chrono::steady_clock::time_point deadline;
    std::chrono::steady_clock::duration idleWait = std::chrono::seconds(20);  // per connect, read, write
};

struct HttpGetAnswer {
    int status = 0;        // 0 when no status line arrived
    std::string location;  // the Location header, if any
    bool late = false;     // the deadline ended it
    bool stopped = false;  // onBody returned false
};

// Sends the GET and reads the answer; the body (of a 200 only) goes to onBody, which may stop it
// by returning false. True when a whole answer arrived; false with a reason otherwise.
bool HttpGet(const HttpGetRequest& request, const std::function<bool(const char*, size_t)>& onBody,
             HttpGetAnswer& answer, std::string& error);
