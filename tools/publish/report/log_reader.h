// Streams the lines of access logs, plain or gzip (rotated ".gz", several members), in bounded memory.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

struct LogReadCounts {
    uint64_t lines = 0;          // whole lines handed on
    uint64_t truncatedLast = 0;  // files whose last line had no newline (handed on all the same)
    uint64_t gzipCut = 0;        // files whose gzip stream ended inside a member or was damaged
    uint64_t unreadable = 0;     // files that could not be opened or read
    uint64_t duplicates = 0;     // files given again (same device and inode), read once, and lines of a copy
};

// How long a FIFO or pipe is waited for when it has no writer yet: then it is noted as unreadable.
constexpr int kFifoWriterWaitMs = 5000;

// One log, opened once and read once from its start to its end, line by line (a pipe, a FIFO or
// bash's <(...) cannot be read twice). A gzip file (by its magic bytes, any name) is inflated
// member after member; a line longer than 64 KiB is cut there. Never fails: what it could not
// read is counted, with a message in notes.
class LogStream {
public:
    LogStream();
    ~LogStream();
    LogStream(const LogStream&) = delete;
    LogStream& operator=(const LogStream&) = delete;

    // Opens path without blocking on a FIFO that has no writer; false (counted, noted) when it
    // cannot be opened. device and inode name the file it opened.
    bool Open(const std::string& path, LogReadCounts& counts, std::vector<std::string>& notes);
    dev_t Device() const { return device_; }
    ino_t Inode() const { return inode_; }

    // The next line without its newline, valid until the next call; false at the end.
    bool Next(std::string_view& line);

private:
    struct State;
    std::unique_ptr<State> state_;
    dev_t device_ = 0;
    ino_t inode_ = 0;
};
