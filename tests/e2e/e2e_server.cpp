// The end-to-end tests' loopback HTTP server: one thread per connection, one answer, then close.
#include "e2e_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <fstream>
#include <sstream>

namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool SendAll(int socket, const char* data, size_t length) {
    while (length > 0) {
        ssize_t sent = send(socket, data, length, MSG_NOSIGNAL);
        if (sent <= 0) return false;
        data += sent;
        length -= static_cast<size_t>(sent);
    }
    return true;
}

bool SendAll(int socket, const std::string& text) { return SendAll(socket, text.data(), text.size()); }

// "Tue, 08 Dec 2026 07:39:53 GMT": without a Date a cache such as squid never trusts its copy.
std::string HttpDate() {
    time_t now = time(nullptr);
    tm utc = {};
    gmtime_r(&now, &utc);
    char text[64];
    strftime(text, sizeof text, "%a, %d %b %Y %H:%M:%S GMT", &utc);
    return text;
}

std::string Header(int status, const char* reason, uint64_t length, const std::string& extra = "") {
    return "HTTP/1.1 " + std::to_string(status) + " " + reason + "\r\nDate: " + HttpDate() +
           "\r\nContent-Length: " + std::to_string(length) + "\r\nConnection: close\r\n" + extra +
           "\r\n";
}

// "bytes=100-199" (one range, both ends given): the only form the updater sends.
bool ParseRange(const std::string& value, uint64_t& first, uint64_t& last) {
    if (value.compare(0, 6, "bytes=") != 0) return false;
    size_t dash = value.find('-', 6);
    if (dash == std::string::npos || dash == 6 || dash + 1 == value.size()) return false;
    auto digits = [](const std::string& text) {
        return !text.empty() && text.size() < 20 &&
               text.find_first_not_of("0123456789") == std::string::npos;
    };
    std::string from = value.substr(6, dash - 6), to = value.substr(dash + 1);
    if (!digits(from) || !digits(to)) return false;
    first = std::stoull(from);
    last = std::stoull(to);
    return true;
}

}  // namespace

std::string PercentDecode(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 &&
            HexValue(text[i + 2]) >= 0) {
            out += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

LoopbackServer::LoopbackServer(std::string root, std::string host)
    : address_(std::move(host)), root_(std::move(root)) {
    listener_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    inet_pton(AF_INET, address_.c_str(), &address.sin_addr);
    address.sin_port = 0;  // a free port, so parallel test runs never collide
    if (listener_ < 0 || bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener_, 16) != 0) {
        return;
    }
    socklen_t size = sizeof address;
    getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size);
    port_ = ntohs(address.sin_port);
    acceptThread_ = std::thread([this] { AcceptLoop(); });
}

LoopbackServer::~LoopbackServer() {
    stopping_ = true;
    ReleaseStall();
    if (acceptThread_.joinable()) acceptThread_.join();
    for (std::thread& worker : workers_) worker.join();
    if (listener_ >= 0) close(listener_);
}

void LoopbackServer::SetRoot(const std::string& root) {
    std::lock_guard<std::mutex> lock(mutex_);
    root_ = root;
}

void LoopbackServer::SetExtraHeaders(const std::string& lines) {
    std::lock_guard<std::mutex> lock(mutex_);
    extraHeaders_ = lines;
}

void LoopbackServer::RequireAuthorization(const std::string& value) {
    std::lock_guard<std::mutex> lock(mutex_);
    authorization_ = value;
}

void LoopbackServer::Override(const std::string& urlPath, const Misbehaviour& behaviour) {
    std::lock_guard<std::mutex> lock(mutex_);
    overrides_[urlPath] = behaviour;
}

void LoopbackServer::ClearOverrides() {
    std::lock_guard<std::mutex> lock(mutex_);
    overrides_.clear();
}

bool LoopbackServer::WaitUntilStalled(int timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    return stallChanged_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return stalled_; });
}

void LoopbackServer::ReleaseStall() {
    std::lock_guard<std::mutex> lock(mutex_);
    released_ = true;
    stallChanged_.notify_all();
}

void LoopbackServer::RearmStall() {
    std::lock_guard<std::mutex> lock(mutex_);
    stalled_ = false;
    released_ = false;
}

std::vector<std::string> LoopbackServer::Requests() {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

void LoopbackServer::SetRangeMode(RangeMode mode) {
    std::lock_guard<std::mutex> lock(mutex_);
    rangeMode_ = mode;
}

std::vector<ServedAnswer> LoopbackServer::Answers() {
    std::lock_guard<std::mutex> lock(mutex_);
    return answers_;
}

void LoopbackServer::Record(const ServedAnswer& answer) {
    std::lock_guard<std::mutex> lock(mutex_);
    answers_.push_back(answer);
}

void LoopbackServer::AcceptLoop() {
    while (!stopping_) {
        pollfd waiting = {listener_, POLLIN, 0};
        if (poll(&waiting, 1, 100) <= 0) continue;
        int client = accept(listener_, nullptr, nullptr);
        if (client < 0) continue;
        timeval limit = {10, 0};  // no read or write of a test connection waits longer
        setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        setsockopt(client, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
        std::lock_guard<std::mutex> lock(mutex_);
        workers_.emplace_back([this, client] { Serve(client); });
    }
}

void LoopbackServer::Serve(int client) {
    std::string request;
    char buffer[4096];
    while (request.find("\r\n\r\n") == std::string::npos && request.size() < 65536) {
        ssize_t got = recv(client, buffer, sizeof buffer, 0);
        if (got <= 0) break;
        request.append(buffer, static_cast<size_t>(got));
    }
    std::istringstream line(request.substr(0, request.find("\r\n")));
    std::string method, target;
    line >> method >> target;
    if (method == "GET" && !target.empty()) Answer(client, target, request);
    shutdown(client, SHUT_WR);
    close(client);
}

void LoopbackServer::Answer(int client, const std::string& urlPath, const std::string& head) {
    Misbehaviour how;
    std::string root;
    std::string authorization;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        requests_.push_back(urlPath);
        auto found = overrides_.find(urlPath);
        if (found != overrides_.end()) how = found->second;
        root = root_;
        authorization = authorization_;
    }
    ServedAnswer answer;
    answer.path = urlPath;
    size_t rangeAt = head.find("\r\nRange: ");
    if (rangeAt != std::string::npos) {
        size_t start = rangeAt + 9;
        answer.range = head.substr(start, head.find("\r\n", start) - start);
    }
    answer.status = how.status;
    if (!authorization.empty() &&
        head.find("\r\nAuthorization: " + authorization + "\r\n") == std::string::npos) {
        SendAll(client, Header(401, "Unauthorized", 0, "WWW-Authenticate: Basic realm=\"quillor\"\r\n"));
    } else if (!how.raw.empty()) {
        SendAll(client, how.raw);
    } else if (how.trickleHeaders) {
        SendAll(client, "HTTP/1.1 200 OK\r\n");
        for (int tick = 0; tick < 600 && !stopping_; ++tick) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            if (tick % 10 == 9 && !SendAll(client, "X", 1)) break;
        }
    } else if (how.endlessHeaders) {
        // Bounded by the client going away, the server stopping, or about 64 MiB of lines.
        std::string lines;
        for (int n = 0; n < 1000; ++n) lines += "X-Pad-" + std::to_string(n) + ": " + std::string(50, 'p') + "\r\n";
        bool open = SendAll(client, "HTTP/1.1 200 OK\r\n");
        for (int round = 0; open && round < 1024 && !stopping_; ++round) open = SendAll(client, lines);
    } else if (how.status == 301 || how.status == 302) {
        SendAll(client, Header(how.status, "Found", 0, "Location: " + how.location + "\r\n"));
    } else if (how.status != 200) {
        std::string body = "status " + std::to_string(how.status);
        SendAll(client, Header(how.status, "Not Found", body.size()) + body);
    } else {
        SendFile(client, root + PercentDecode(urlPath), how, answer, answer.range);
    }
    Record(answer);
}

void LoopbackServer::SendFile(int client, const std::string& path, const Misbehaviour& how,
                              ServedAnswer& answer, const std::string& range) {
    std::string body = how.body;
    if (!how.replaceBody) {
        std::ifstream file(path, std::ios::binary);
        if (!file) {
            answer.status = 404;
            SendAll(client, Header(404, "Not Found", 0));
            return;
        }
        std::ostringstream bytes;
        bytes << file.rdbuf();
        body = bytes.str();
    }
    RangeMode mode;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        mode = rangeMode_;
    }
    uint64_t first = 0, last = 0;
    if (!range.empty() && mode != RangeMode::Ignore && ParseRange(range, first, last)) {
        const uint64_t size = body.size();
        if (mode == RangeMode::Refuse || first > last || first >= size) {
            answer.status = 416;
            SendAll(client, Header(416, "Range Not Satisfiable", 0,
                                   "Content-Range: bytes */" + std::to_string(size) + "\r\n"));
            return;
        }
        last = std::min<uint64_t>(last, size - 1);
        const uint64_t shift = mode == RangeMode::WrongContentRange ? 1 : 0;
        std::string contentRange = "Content-Range: bytes " + std::to_string(first + shift) + "-" +
                                   std::to_string(last + shift) + "/" + std::to_string(size) + "\r\n";
        answer.status = 206;
        if (SendAll(client, Header(206, "Partial Content", last - first + 1, contentRange)) &&
            SendAll(client, body.data() + first, last - first + 1))
            answer.bodyBytes = last - first + 1;
        return;
    }
    uint64_t declared = how.declaredLength >= 0 ? static_cast<uint64_t>(how.declaredLength)
                        : how.endless            ? 1ull << 50
                                                 : body.size();
    std::string extra;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        extra = extraHeaders_;
    }
    if (!SendAll(client, Header(200, "OK", declared, extra))) return;
    if (how.endless) {
        if (body.empty()) body.assign(65536, 'e');
        while (!stopping_ && SendAll(client, body.data(), body.size())) {
        }
        return;
    }
    if (how.stallAfter < 0) {
        if (SendAll(client, body.data(), body.size())) answer.bodyBytes = body.size();
        return;
    }
    answer.bodyBytes = std::min(body.size(), static_cast<size_t>(how.stallAfter));
    SendAll(client, body.data(), std::min(body.size(), static_cast<size_t>(how.stallAfter)));
    std::unique_lock<std::mutex> lock(mutex_);
    stalled_ = true;
    stallChanged_.notify_all();
    // Bounded: a test that forgets to release still ends.
    stallChanged_.wait_for(lock, std::chrono::seconds(30), [this] { return released_; });
    lock.unlock();
    if (how.resumeAfterStall && body.size() > static_cast<size_t>(how.stallAfter))
        SendAll(client, body.data() + how.stallAfter, body.size() - static_cast<size_t>(how.stallAfter));
}
