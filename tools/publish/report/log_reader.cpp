// Reads logs in 1 MiB blocks and splits lines with memchr; gzip through zlib's streaming inflate.
#include "report/log_reader.h"

#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr size_t kBlock = 1 << 20;
constexpr size_t kLineLimit = 64 * 1024;

// Splits blocks into lines, carrying a partial line over to the next block.
struct LineSplitter {
    const std::function<void(std::string_view)>& onLine;
    LogReadCounts& counts;
    std::string carry;

    void Feed(const char* data, size_t size) {
        const char* end = data + size;
        while (data < end) {
            const char* newline = static_cast<const char*>(std::memchr(data, '\n', static_cast<size_t>(end - data)));
            if (newline == nullptr) {
                size_t room = kLineLimit > carry.size() ? kLineLimit - carry.size() : 0;
                carry.append(data, std::min(room, static_cast<size_t>(end - data)));
                return;
            }
            ++counts.lines;
            if (carry.empty()) {
                onLine(std::string_view(data, static_cast<size_t>(newline - data)));
            } else {
                size_t room = kLineLimit > carry.size() ? kLineLimit - carry.size() : 0;
                carry.append(data, std::min(room, static_cast<size_t>(newline - data)));
                onLine(carry);
                carry.clear();
            }
            data = newline + 1;
        }
    }
    void Finish() {
        if (carry.empty()) return;
        ++counts.lines;
        ++counts.truncatedLast;
        onLine(carry);
        carry.clear();
    }
};

struct Fd {
    int fd = -1;
    ~Fd() {
        if (fd >= 0) close(fd);
    }
};

// Inflates fd's gzip members one after the other; false when the stream ends inside one.
bool InflateMembers(int fd, std::vector<char>& in, LineSplitter& lines, std::string& problem) {
    z_stream stream{};
    if (inflateInit2(&stream, 15 + 16) != Z_OK) {
        problem = "zlib could not start";
        return false;
    }
    std::vector<char> out(kBlock);
    bool inMember = false, ok = true;
    for (;;) {
        if (stream.avail_in == 0) {
            ssize_t got = read(fd, in.data(), in.size());
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) {
                if (got < 0) problem = std::string("read failed: ") + std::strerror(errno);
                ok = !inMember && got == 0;
                if (!ok && problem.empty()) problem = "the gzip stream ends inside a member";
                break;
            }
            stream.next_in = reinterpret_cast<Bytef*>(in.data());
            stream.avail_in = static_cast<uInt>(got);
        }
        inMember = true;
        stream.next_out = reinterpret_cast<Bytef*>(out.data());
        stream.avail_out = static_cast<uInt>(out.size());
        int result = inflate(&stream, Z_NO_FLUSH);
        lines.Feed(out.data(), out.size() - stream.avail_out);
        if (result == Z_STREAM_END) {
            inMember = false;
            inflateReset(&stream);
        } else if (result != Z_OK && result != Z_BUF_ERROR) {
            problem = std::string("damaged gzip data (") + (stream.msg ? stream.msg : "zlib error") + ")";
            ok = false;
            break;
        }
    }
    inflateEnd(&stream);
    return ok;
}

}  // namespace

void ReadLogLines(const std::string& path, const std::function<void(std::string_view)>& onLine, LogReadCounts& counts,
                  std::vector<std::string>& notes) {
    Fd file;
    file.fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (file.fd < 0) {
        ++counts.unreadable;
        notes.push_back(path + ": cannot open (" + std::strerror(errno) + ")");
        return;
    }
    posix_fadvise(file.fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    std::vector<char> block(kBlock);
    LineSplitter lines{onLine, counts, {}};
    ssize_t got = 0;
    do got = read(file.fd, block.data(), 2);
    while (got < 0 && errno == EINTR);
    bool gzip =
        got == 2 && static_cast<unsigned char>(block[0]) == 0x1f && static_cast<unsigned char>(block[1]) == 0x8b;
    if (gzip) {
        std::string problem;
        if (lseek(file.fd, 0, SEEK_SET) != 0 || !InflateMembers(file.fd, block, lines, problem)) {
            ++counts.gzipCut;
            notes.push_back(path + ": " + (problem.empty() ? "cannot rewind" : problem) +
                            "; the lines before it are read");
        }
        lines.Finish();
        return;
    }
    if (got > 0) lines.Feed(block.data(), static_cast<size_t>(got));
    for (;;) {
        got = read(file.fd, block.data(), block.size());
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            ++counts.unreadable;
            notes.push_back(path + ": read failed (" + std::strerror(errno) + "); the lines before it are read");
        }
        if (got <= 0) break;
        lines.Feed(block.data(), static_cast<size_t>(got));
    }
    lines.Finish();
}

std::string FirstLogLine(const std::string& path) {
    Fd file;
    file.fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    std::vector<char> block(kLineLimit);
    ssize_t got = file.fd < 0 ? -1 : read(file.fd, block.data(), block.size());
    if (got <= 0) return std::string();
    std::string text(block.data(), static_cast<size_t>(got));
    if (got >= 2 && static_cast<unsigned char>(block[0]) == 0x1f && static_cast<unsigned char>(block[1]) == 0x8b) {
        z_stream stream{};
        std::vector<char> out(kLineLimit);
        if (inflateInit2(&stream, 15 + 16) != Z_OK) return std::string();
        stream.next_in = reinterpret_cast<Bytef*>(block.data());
        stream.avail_in = static_cast<uInt>(got);
        stream.next_out = reinterpret_cast<Bytef*>(out.data());
        stream.avail_out = static_cast<uInt>(out.size());
        inflate(&stream, Z_SYNC_FLUSH);
        text.assign(out.data(), out.size() - stream.avail_out);
        inflateEnd(&stream);
    }
    return text.substr(0, text.find('\n'));
}
