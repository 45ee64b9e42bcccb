// Puts a log's lines back into the order of their times within a short window.
#pragma once
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

// varnishncsa writes a request's line when it ends but stamps it with its start, and nginx
// workers share one file: so a player's next request can stand before its last. Lines wait here
// until a line kReorderWindowUs later has come (or the log ended), then go on in time order (file
// order on a tie). Memory grows with the lines of one window, not with the log.
constexpr int64_t kReorderWindowUs = 2000000;

struct WaitingLine {
    int64_t us;
    uint64_t arrival;
    size_t slot;
};

struct LineOrder {
    std::vector<std::string> slots;  // the waiting lines' text; buffers are reused
    std::vector<size_t> freeSlots;
    std::deque<WaitingLine> waiting;  // in time order, the earliest first
    int64_t newestUs = INT64_MIN;
    uint64_t arrivals = 0;
    bool ended = false;  // the log has no more lines: every waiting line is ready
};

// The "msec" value of a line in microseconds: "1733712000.123456", "1733712000.123" or whole
// milliseconds "1733712000123", blanks allowed around the colon; false when the line has none.
bool LineTimeUs(std::string_view line, int64_t& us);

// A line of the log; one without a time stays in its place (it takes the newest time so far).
void AddLine(LineOrder& order, std::string_view line);
// Whether the earliest waiting line may go on: a line kReorderWindowUs later came, or the log ended.
bool LineReady(const LineOrder& order);
// The earliest waiting line's time and text (valid until PopLine); only when one waits.
int64_t FrontUs(const LineOrder& order);
const std::string& FrontLine(const LineOrder& order);
void PopLine(LineOrder& order);
