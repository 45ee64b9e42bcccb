// The waiting lines in time order; a log is nearly in order, so a new line almost always goes
// last, and its text is copied into a reused slot.
#include "report/line_order.h"

#include <algorithm>
#include <cstring>
#include <iterator>

namespace {

size_t SkipBlanks(std::string_view line, size_t at) {
    while (at < line.size() && (line[at] == ' ' || line[at] == '\t')) ++at;
    return at;
}

}  // namespace

// ..."msec":1733712000.123456,... (the key as the site's and the edge's formats write it; a JSON
// writer that puts blanks around the colon is read too, as the record parser reads it)
bool LineTimeUs(std::string_view line, int64_t& us) {
    static const char kKey[] = "\"msec\"";
    const size_t keySize = sizeof kKey - 1;
    // Both formats begin with it; other lines are searched.
    size_t first = SkipBlanks(line, 0);
    const char* found = first < line.size() && line[first] == '{' &&
                                line.compare(SkipBlanks(line, first + 1), keySize, kKey) == 0
                            ? line.data() + SkipBlanks(line, first + 1)
                            : static_cast<const char*>(memmem(line.data(), line.size(), kKey, keySize));
    if (found == nullptr) return false;
    size_t at = SkipBlanks(line, static_cast<size_t>(found - line.data()) + keySize);
    if (at >= line.size() || line[at] != ':') return false;
    at = SkipBlanks(line, at + 1);
    if (at < line.size() && line[at] == '"') ++at;
    int64_t whole = 0, fraction = 0;
    int wholeDigits = 0, fractionDigits = 0;
    for (; at < line.size() && line[at] >= '0' && line[at] <= '9' && wholeDigits < 16; ++at, ++wholeDigits)
        whole = whole * 10 + (line[at] - '0');
    if (wholeDigits == 0) return false;
    if (at < line.size() && line[at] == '.') {
        for (++at; at < line.size() && line[at] >= '0' && line[at] <= '9'; ++at)
            if (fractionDigits < 6) fraction = fraction * 10 + (line[at] - '0'), ++fractionDigits;
        for (; fractionDigits < 6; ++fractionDigits) fraction *= 10;
        us = whole * 1000000 + fraction;
    } else {
        us = whole * 1000;
    }
    return true;
}

void AddLine(LineOrder& order, std::string_view line) {
    int64_t us = 0;
    if (!LineTimeUs(line, us)) us = order.newestUs == INT64_MIN ? 0 : order.newestUs;  // stays in its place
    size_t slot;
    if (!order.freeSlots.empty()) {
        slot = order.freeSlots.back();
        order.freeSlots.pop_back();
    } else {
        slot = order.slots.size();
        order.slots.emplace_back();
    }
    order.slots[slot].assign(line.data(), line.size());
    auto place = order.waiting.end();
    while (place != order.waiting.begin() && std::prev(place)->us > us) --place;  // a tie keeps file order
    order.waiting.insert(place, {us, order.arrivals++, slot});
    order.newestUs = std::max(order.newestUs, us);
}

bool LineReady(const LineOrder& order) {
    return !order.waiting.empty() && (order.ended || order.waiting.front().us <= order.newestUs - kReorderWindowUs);
}

int64_t FrontUs(const LineOrder& order) { return order.waiting.front().us; }

const std::string& FrontLine(const LineOrder& order) { return order.slots[order.waiting.front().slot]; }

void PopLine(LineOrder& order) {
    order.freeSlots.push_back(order.waiting.front().slot);
    order.waiting.pop_front();
}
