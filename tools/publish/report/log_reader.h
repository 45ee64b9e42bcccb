// Streams the lines of access logs, plain or gzip (rotated ".gz", several members), in bounded memory.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

struct LogReadCounts {
    uint64_t lines = 0;          // whole lines handed on
    uint64_t truncatedLast = 0;  // files whose last line had no newline (handed on all the same)
    uint64_t gzipCut = 0;        // files whose gzip stream ended inside a member or was damaged
    uint64_t unreadable = 0;     // files that could not be opened or read
};

// Calls onLine for every line (without its newline) of path, in order; a line longer than
// 64 KiB is cut there. A gzip file (by its magic bytes, any name) is inflated member after
// member. Never fails: what it could not read is counted, with a message in notes.
void ReadLogLines(const std::string& path, const std::function<void(std::string_view)>& onLine, LogReadCounts& counts,
                  std::vector<std::string>& notes);

// The first line of path (inflated when it is gzip), at most 64 KiB; "" when there is none.
std::string FirstLogLine(const std::string& path);
