// Reads logs in 1 MiB blocks and splits lines with memchr; gzip through zlib's streaming inflate.
#include "report/log_reader.h"

#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr size_t kBlock = 1 << 20;
constexpr size_t kLineLimit = 64 * 1024;

}  // namespace

struct LogStream::State {
    std::string path;
    LogReadCounts* counts = nullptr;
    std::vector<std::string>* notes = nullptr;
    int fd = -1;
    bool gzip = false, ended = false, inMember = false, zlibStarted = false;
    z_stream stream{};
    std::vector<char> in, out;
    // The bytes not yet split into lines: data[at, end) of in (plain) or out (gzip).
    const char* data = nullptr;
    size_t at = 0, end = 0;
    std::string carry;
    bool carryCut = false;

    ~State() {
        if (zlibStarted) inflateEnd(&stream);
        if (fd >= 0) close(fd);
    }

    ssize_t ReadSome(char* buffer, size_t size) {
        for (;;) {
            ssize_t got = read(fd, buffer, size);
            if (got >= 0 || errno != EINTR) return got;
        }
    }

    void ReadFailed() {
        ++counts->unreadable;
        notes->push_back(path + ": read failed (" + std::strerror(errno) + "); the lines before it are read");
    }

    // More bytes into data; false at the end of the file (or of what could be read).
    bool Refill() {
        if (ended) return false;
        if (!gzip) {
            ssize_t got = ReadSome(in.data(), in.size());
            if (got < 0) ReadFailed();
            if (got <= 0) return ended = true, false;
            data = in.data();
            at = 0;
            end = static_cast<size_t>(got);
            return true;
        }
        for (;;) {
            if (stream.avail_in == 0) {
                ssize_t got = ReadSome(in.data(), in.size());
                if (got <= 0) {
                    std::string problem = got < 0 ? std::string("read failed: ") + std::strerror(errno)
                                          : inMember ? "the gzip stream ends inside a member"
                                                     : "";
                    if (!problem.empty()) {
                        ++counts->gzipCut;
                        notes->push_back(path + ": " + problem + "; the lines before it are read");
                    }
                    return ended = true, false;
                }
                stream.next_in = reinterpret_cast<Bytef*>(in.data());
                stream.avail_in = static_cast<uInt>(got);
            }
            inMember = true;
            stream.next_out = reinterpret_cast<Bytef*>(out.data());
            stream.avail_out = static_cast<uInt>(out.size());
            int result = inflate(&stream, Z_NO_FLUSH);
            data = out.data();
            at = 0;
            end = out.size() - stream.avail_out;
            if (result == Z_STREAM_END) {
                inMember = false;
                inflateReset(&stream);
            } else if (result != Z_OK && result != Z_BUF_ERROR) {
                ++counts->gzipCut;
                notes->push_back(path + ": damaged gzip data (" + (stream.msg ? stream.msg : "zlib error") +
                                 "); the lines before it are read");
                ended = true;
                return end > 0;
            }
            if (end > 0) return true;
        }
    }
};

LogStream::LogStream() = default;
LogStream::~LogStream() = default;

bool LogStream::Open(const std::string& path, LogReadCounts& counts, std::vector<std::string>& notes) {
    state_ = std::make_unique<State>();
    State& s = *state_;
    s.path = path;
    s.counts = &counts;
    s.notes = &notes;
    // O_NONBLOCK: open never waits for a FIFO's writer; it is cleared once the file is open.
    s.fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    struct stat st;
    if (s.fd < 0 || fstat(s.fd, &st) != 0) {
        ++counts.unreadable;
        notes.push_back(path + ": cannot open (" + std::strerror(errno) + ")");
        s.ended = true;
        return false;
    }
    device_ = st.st_dev;
    inode_ = st.st_ino;
    if (S_ISDIR(st.st_mode)) {
        ++counts.unreadable;
        notes.push_back(path + ": cannot read (it is a folder)");
        s.ended = true;
        return false;
    }
    // An anonymous pipe (standard input, bash's <(...)) had its writer when it was made: it is
    // read as it comes, to its end. A named FIFO may have none yet, and none may ever come.
    char target[64] = "";
    ssize_t length = readlink(("/proc/self/fd/" + std::to_string(s.fd)).c_str(), target, sizeof target - 1);
    bool anonymous = length > 5 && std::strncmp(target, "pipe:", 5) == 0;
    if (S_ISFIFO(st.st_mode) && !anonymous) {
        // A FIFO without a writer reads as empty at once; wait (bounded) until one has written.
        struct pollfd wait = {s.fd, POLLIN, 0};
        int ready = 0;
        auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kFifoWriterWaitMs);
        for (;;) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
            ready = poll(&wait, 1, static_cast<int>(std::max<int64_t>(0, left.count())));
            if (ready < 0 && errno == EINTR) continue;
            break;
        }
        if (ready == 0) {
            ++counts.unreadable;
            notes.push_back(path + ": cannot read (a FIFO or pipe that nobody wrote to within " +
                            std::to_string(kFifoWriterWaitMs / 1000) + " s)");
            s.ended = true;
            return false;
        }
    }
    fcntl(s.fd, F_SETFL, fcntl(s.fd, F_GETFL) & ~O_NONBLOCK);
    posix_fadvise(s.fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    s.in.resize(kBlock);
    // The first bytes tell gzip; they are split or inflated as any others (no rewind: a pipe has none).
    ssize_t got = 0;
    while (got < 2) {
        ssize_t more = s.ReadSome(s.in.data() + got, kBlock - static_cast<size_t>(got));
        if (more < 0) s.ReadFailed();
        if (more <= 0) {
            s.ended = true;  // the end already (or a read that failed): nothing more is read
            break;
        }
        got += more;
    }
    s.gzip = got >= 2 && static_cast<unsigned char>(s.in[0]) == 0x1f && static_cast<unsigned char>(s.in[1]) == 0x8b;
    if (s.gzip) {
        if (inflateInit2(&s.stream, 15 + 16) != Z_OK) {
            ++counts.gzipCut;
            notes.push_back(path + ": zlib could not start");
            s.ended = true;
            return true;
        }
        s.zlibStarted = true;
        s.out.resize(kBlock);
        s.stream.next_in = reinterpret_cast<Bytef*>(s.in.data());
        s.stream.avail_in = static_cast<uInt>(got);
        s.data = s.out.data();
        s.at = s.end = 0;
    } else if (got > 0) {
        s.data = s.in.data();
        s.at = 0;
        s.end = static_cast<size_t>(got);
    }
    return true;
}

bool LogStream::Next(std::string_view& line) {
    if (!state_) return false;
    State& s = *state_;
    s.carry.clear();
    for (;;) {
        if (s.at < s.end) {
            const char* from = s.data + s.at;
            const char* newline = static_cast<const char*>(std::memchr(from, '\n', s.end - s.at));
            if (newline != nullptr) {
                size_t size = static_cast<size_t>(newline - from);
                s.at += size + 1;
                ++s.counts->lines;
                if (s.carry.empty()) {
                    line = std::string_view(from, size);
                } else {
                    size_t room = kLineLimit > s.carry.size() ? kLineLimit - s.carry.size() : 0;
                    s.carry.append(from, std::min(room, size));
                    line = s.carry;
                }
                return true;
            }
            size_t room = kLineLimit > s.carry.size() ? kLineLimit - s.carry.size() : 0;
            s.carry.append(from, std::min(room, s.end - s.at));
            s.at = s.end;
        }
        if (!s.Refill()) break;
    }
    if (s.carry.empty()) return false;
    ++s.counts->lines;
    ++s.counts->truncatedLast;
    line = s.carry;
    s.carry.reserve(0);
    // The carry is handed on once; the next call clears it and finds the end.
    s.at = s.end;
    s.ended = true;
    return true;
}
