// Puts a log's lines back into the order of their times within a short window.
#pragma once
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

// varnishncsa writes a request's line when it ends but stamps it with its start, and nginx
// workers share one file: so a player's next request can stand before its last. Lines wait here
// until a line kReorderWindowUs later has come, then go on in time order (file order on a tie).
// Memory grows with the lines of one window, not with the log.
constexpr int64_t kReorderWindowUs = 2000000;

struct WaitingLine {
    int64_t us;
    uint64_t arrival;
    size_t slot;
};

struct LineOrder {
    std::function<void(std::string_view)> onLine;
    std::vector<std::string> slots;  // the waiting lines' text; buffers are reused
    std::vector<size_t> freeSlots;
    std::deque<WaitingLine> waiting;  // in time order, the earliest first
    int64_t newestUs = INT64_MIN;
    uint64_t arrivals = 0;
};

// The "msec" value of a line in microseconds: "1733712000.123456", "1733712000.123" or whole
// milliseconds "1733712000123"; false when the line has none.
bool LineTimeUs(std::string_view line, int64_t& us);

void AddLine(LineOrder& order, std::string_view line);
// Hands on every line still waiting (at the end of a log).
void FlushLines(LineOrder& order);
