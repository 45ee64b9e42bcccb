// One HTTP/1.1 GET over a plain TCP socket, every wait bounded by one deadline.
#include "check/http_get.h"

#include "core/fs_util.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <memory>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Connection {
    UniqueFd fd;
    Clock::time_point deadline;
    Clock::duration idleWait;
    HttpGetAnswer* answer = nullptr;
    char buffer[16384];
    size_t pos = 0, len = 0;
    bool closed = false;  // the server closed its side
};

// Waits for events on the socket, never past the deadline nor longer than the idle wait.
bool WaitFor(Connection& conn, short events, const char* what, std::string& error) {
    for (;;) {
        Clock::time_point now = Clock::now();
        if (now >= conn.deadline) {
            conn.answer->late = true;
            error = std::string("the deadline passed while ") + what;
            return false;
        }
        auto wait = std::min<Clock::duration>(conn.idleWait, conn.deadline - now);
        // Rounded up, so that a wait never ends just short of the deadline and spins.
        int ms = static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(wait).count());
        pollfd entry{conn.fd.Get(), events, 0};
        int ready = poll(&entry, 1, ms);
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) {
            error = ErrnoText("poll failed");
            return false;
        }
        if (ready > 0) return true;
        if (Clock::now() < conn.deadline) {
            error = "nothing for " +
                    std::to_string(std::chrono::duration_cast<std::chrono::seconds>(conn.idleWait).count()) +
                    " s while " + what;
            return false;
        }
    }
}

// "host:port", "[v6]:port" or "host" (port 80).
bool SplitHostPort(const std::string& hostPort, std::string& host, std::string& port, std::string& error) {
    size_t colon;
    if (!hostPort.empty() && hostPort[0] == '[') {
        size_t close = hostPort.find(']');
        if (close == std::string::npos) {
            error = "no closing ] in " + hostPort;
            return false;
        }
        host = hostPort.substr(1, close - 1);
        colon = close + 1 < hostPort.size() && hostPort[close + 1] == ':' ? close + 1 : std::string::npos;
    } else {
        colon = hostPort.rfind(':');
        host = hostPort.substr(0, colon);
    }
    port = colon == std::string::npos ? "80" : hostPort.substr(colon + 1);
    if (host.empty() || port.empty() || port.find_first_not_of("0123456789") != std::string::npos) {
        error = "not a host and port: " + hostPort;
        return false;
    }
    return true;
}

// Not bounded by the deadline: a name lookup cannot be cut. For loopback and numeric hosts, the
// only ones the tool's tests use, it returns at once.
bool Connect(Connection& conn, const std::string& hostPort, std::string& error) {
    std::string host, port;
    if (!SplitHostPort(hostPort, host, port, error)) return false;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    int status = getaddrinfo(host.c_str(), port.c_str(), &hints, &found);
    if (status != 0) {
        error = "cannot resolve " + host + ": " + gai_strerror(status);
        return false;
    }
    std::unique_ptr<addrinfo, void (*)(addrinfo*)> hold(found, freeaddrinfo);
    error = "no address for " + host;
    for (addrinfo* at = found; at; at = at->ai_next) {
        conn.fd = UniqueFd(socket(at->ai_family, at->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, at->ai_protocol));
        if (!conn.fd.Valid()) {
            error = ErrnoText("socket failed");
            continue;
        }
        if (connect(conn.fd.Get(), at->ai_addr, at->ai_addrlen) != 0 && errno != EINPROGRESS) {
            error = ErrnoText("cannot connect to " + hostPort);
            continue;
        }
        if (!WaitFor(conn, POLLOUT, "connecting", error)) {
            if (conn.answer->late) return false;
            continue;
        }
        int failure = 0;
        socklen_t size = sizeof failure;
        getsockopt(conn.fd.Get(), SOL_SOCKET, SO_ERROR, &failure, &size);
        if (failure == 0) return true;
        errno = failure;
        error = ErrnoText("cannot connect to " + hostPort);
    }
    return false;
}

bool SendAll(Connection& conn, const std::string& text, std::string& error) {
    for (size_t sent = 0; sent < text.size();) {
        if (!WaitFor(conn, POLLOUT, "sending the request", error)) return false;
        ssize_t put = send(conn.fd.Get(), text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
        if (put < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (put < 0) {
            error = ErrnoText("send failed");
            return false;
        }
        sent += static_cast<size_t>(put);
    }
    return true;
}

// Makes sure the buffer holds something unless the server has closed; false on a failure.
bool Fill(Connection& conn, const char* what, std::string& error) {
    while (conn.pos == conn.len && !conn.closed) {
        if (!WaitFor(conn, POLLIN, what, error)) return false;
        ssize_t got = recv(conn.fd.Get(), conn.buffer, sizeof conn.buffer, 0);
        if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (got < 0) {
            error = ErrnoText("receive failed");
            return false;
        }
        conn.pos = 0;
        conn.len = static_cast<size_t>(got);
        conn.closed = got == 0;
    }
    return true;
}

// One line ending in LF (a CR before it dropped), at most limit bytes; what names it in errors.
bool ReadLine(Connection& conn, size_t limit, const char* what, std::string& line, std::string& error) {
    line.clear();
    for (;;) {
        if (!Fill(conn, what, error)) return false;
        if (conn.closed && conn.pos == conn.len) {
            error = std::string("the connection closed in ") + what;
            return false;
        }
        const char* start = conn.buffer + conn.pos;
        const char* end = static_cast<const char*>(memchr(start, '\n', conn.len - conn.pos));
        size_t take = end ? static_cast<size_t>(end - start) : conn.len - conn.pos;
        if (line.size() + take > limit) {
            error = std::string(what) + " is longer than " + std::to_string(limit) + " bytes";
            return false;
        }
        line.append(start, take);
        conn.pos += take + (end ? 1 : 0);
        if (!end) continue;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        return true;
    }
}

// "HTTP/1.1 200 OK"
bool ParseStatusLine(const std::string& line, int& status) {
    if (line.compare(0, 7, "HTTP/1.") != 0 || line.size() < 12 || line[8] != ' ') return false;
    if (!isdigit(static_cast<unsigned char>(line[9])) || !isdigit(static_cast<unsigned char>(line[10])) ||
        !isdigit(static_cast<unsigned char>(line[11])) || (line.size() > 12 && line[12] != ' '))
        return false;
    status = std::stoi(line.substr(9, 3));
    return true;
}

std::string Lower(std::string text) {
    for (char& ch : text) ch = static_cast<char>(tolower(static_cast<unsigned char>(ch)));
    return text;
}

std::string Trimmed(const std::string& text) {
    size_t first = text.find_first_not_of(" \t"), last = text.find_last_not_of(" \t");
    return first == std::string::npos ? std::string() : text.substr(first, last - first + 1);
}

// Header lines up to the empty one, "Name: value" each; fields gets name (lower case) -> value.
// A trailer after the last chunk has the same form.
bool ReadFields(Connection& conn, std::vector<std::pair<std::string, std::string>>& fields, std::string& error) {
    std::string line;
    for (int count = 0;; ++count) {
        if (!ReadLine(conn, kHttpLineLimit, "a header line", line, error)) return false;
        if (line.empty()) return true;
        if (count == kHttpHeaderLineLimit) {
            error = "more than " + std::to_string(kHttpHeaderLineLimit) + " header lines";
            return false;
        }
        size_t colon = line.find(':');
        if (colon == std::string::npos || colon == 0) {
            error = "a header line without a name: \"" + line.substr(0, 80) + "\"";
            return false;
        }
        fields.emplace_back(Lower(line.substr(0, colon)), Trimmed(line.substr(colon + 1)));
    }
}

bool ParseNumber(const std::string& text, int base, uint64_t& value) {
    if (text.empty() || text.size() > (base == 16 ? 15u : 18u)) return false;
    char* end = nullptr;
    value = std::strtoull(text.c_str(), &end, base);
    return *end == '\0' && isxdigit(static_cast<unsigned char>(text[0]));
}

// Passes up to count body bytes (all until the close when count is max) to onBody.
bool Pass(Connection& conn, uint64_t count, const std::function<bool(const char*, size_t)>& onBody,
          std::string& error) {
    bool untilClose = count == UINT64_MAX;
    while (count > 0) {
        if (!Fill(conn, "the body", error)) return false;
        if (conn.pos == conn.len) {
            if (untilClose) return true;
            error = "the connection closed " + std::to_string(count) + " bytes before the body's end";
            return false;
        }
        size_t take = static_cast<size_t>(std::min<uint64_t>(count, conn.len - conn.pos));
        if (!onBody(conn.buffer + conn.pos, take)) {
            conn.answer->stopped = true;
            error = "stopped by the reader";
            return false;
        }
        conn.pos += take;
        if (!untilClose) count -= take;
    }
    return true;
}

// "1a3;name=value" then the bytes and CRLF, again and again; "0" and a trailer end it.
bool PassChunks(Connection& conn, const std::function<bool(const char*, size_t)>& onBody, std::string& error) {
    std::string line;
    for (;;) {
        if (!ReadLine(conn, kHttpChunkLineLimit, "a chunk-size line", line, error)) return false;
        uint64_t size = 0;
        if (!ParseNumber(Trimmed(line.substr(0, line.find(';'))), 16, size)) {
            error = "not a chunk size: \"" + line.substr(0, 80) + "\"";
            return false;
        }
        if (size == 0) {
            std::vector<std::pair<std::string, std::string>> trailer;
            return ReadFields(conn, trailer, error);
        }
        if (!Pass(conn, size, onBody, error)) return false;
        if (!ReadLine(conn, kHttpChunkLineLimit, "a chunk's end", line, error)) return false;
        if (!line.empty()) {
            error = "a chunk longer than its size";
            return false;
        }
    }
}

bool ReadBody(Connection& conn, const std::vector<std::pair<std::string, std::string>>& fields,
              const std::function<bool(const char*, size_t)>& onBody, std::string& error) {
    std::string coding, length;
    for (const auto& field : fields) {
        if (field.first == "transfer-encoding") coding = Lower(field.second);
        if (field.first == "content-length") {
            if (!length.empty() && length != field.second) {
                error = "two different Content-Length headers";
                return false;
            }
            length = field.second;
        }
    }
    if (!coding.empty()) {
        if (coding != "chunked") {
            error = "transfer coding \"" + coding + "\" is not supported";
            return false;
        }
        return PassChunks(conn, onBody, error);
    }
    if (length.empty()) return Pass(conn, UINT64_MAX, onBody, error);
    uint64_t size = 0;
    if (!ParseNumber(length, 10, size)) {
        error = "not a Content-Length: \"" + length.substr(0, 80) + "\"";
        return false;
    }
    return Pass(conn, size, onBody, error);
}

}  // namespace

bool HttpGet(const HttpGetRequest& request, const std::function<bool(const char*, size_t)>& onBody,
             HttpGetAnswer& answer, std::string& error) {
    answer = HttpGetAnswer();
    if (request.path.empty() || request.path[0] != '/' ||
        std::any_of(request.path.begin(), request.path.end(),
                    [](char ch) { return static_cast<unsigned char>(ch) <= ' ' || ch == 0x7f; })) {
        error = "not a URL path to send: \"" + request.path.substr(0, 80) + "\"";
        return false;
    }
    Connection conn;
    conn.deadline = request.deadline;
    conn.idleWait = request.idleWait;
    conn.answer = &answer;
    if (!Connect(conn, request.hostPort, error)) return false;
    std::string head = "GET " + request.path + " HTTP/1.1\r\nHost: " + request.hostPort +
                       "\r\nAccept: */*\r\nUser-Agent: Quillor-Updater/1.0\r\nConnection: close\r\n\r\n";
    if (!SendAll(conn, head, error)) return false;
    std::string line;
    if (!ReadLine(conn, kHttpLineLimit, "the status line", line, error)) return false;
    if (!ParseStatusLine(line, answer.status)) {
        error = "not an HTTP/1.x status line: \"" + line.substr(0, 80) + "\"";
        return false;
    }
    std::vector<std::pair<std::string, std::string>> fields;
    if (!ReadFields(conn, fields, error)) return false;
    for (const auto& field : fields)
        if (field.first == "location") answer.location = field.second;
    if (answer.status != 200) return true;  // no other body is read
    return ReadBody(conn, fields, onBody, error);
}
