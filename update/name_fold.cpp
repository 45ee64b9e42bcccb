// UTF-8 file names compared the way Windows compares them, shared by the updater and the publisher.
#include "update/name_fold.h"

#include <algorithm>
#include <cstdint>

bool DecodeUtf8(const std::string& text, size_t& i, uint32_t& codePoint) {
    uint8_t lead = static_cast<uint8_t>(text[i]);
    size_t extra = 0;
    if (lead >= 0x80) {
        if ((lead >> 5) == 6) extra = 1;
        else if ((lead >> 4) == 14) extra = 2;
        else if ((lead >> 3) == 30) extra = 3;
        else return false;
    }
    if (extra > text.size() - i - 1) return false;
    codePoint = extra == 0 ? lead : lead & (0x3F >> extra);
    for (size_t k = 1; k <= extra; ++k) {
        uint8_t next = static_cast<uint8_t>(text[i + k]);
        if ((next & 0xC0) != 0x80) return false;
        codePoint = (codePoint << 6) | (next & 0x3F);
    }
    static const uint32_t kMinimum[] = {0, 0x80, 0x800, 0x10000};
    if (codePoint < kMinimum[extra] || codePoint > 0x10FFFF ||
        (codePoint >= 0xD800 && codePoint <= 0xDFFF))
        return false;
    i += extra + 1;
    return true;
}

namespace {

struct UpcaseRun {
    uint16_t first;
    uint16_t last;
    uint16_t stride;
    int32_t delta;
};

const UpcaseRun kUpcaseRuns[] = {
#include "update/upcase_table.inc"
};

// What Windows compares a BMP unit as: its simple uppercase, the same table NTFS keeps on every
// volume. Units outside the BMP are surrogate pairs there, compared as they stand.
uint32_t UpcaseUnit(uint32_t c) {
    if (c > 0xFFFF) return c;
    const UpcaseRun* end = kUpcaseRuns + sizeof kUpcaseRuns / sizeof kUpcaseRuns[0];
    const UpcaseRun* run = std::upper_bound(kUpcaseRuns, end, c,
                                            [](uint32_t unit, const UpcaseRun& r) { return unit < r.first; });
    if (run == kUpcaseRuns) return c;
    --run;
    if (c > run->last || (c - run->first) % run->stride != 0) return c;
    return static_cast<uint32_t>(static_cast<int32_t>(c) + run->delta);
}

// The uppercase unit is the key; ASCII capitals become small letters again only so that keys
// read like the names the updater compares them with ("updater.state"). Nothing but ASCII
// letters, the dotless i and the long s upcases to an ASCII capital, so no two keys merge.
uint32_t FoldCodePoint(uint32_t c) {
    if (c < 0x80) return (c >= 'A' && c <= 'Z') ? c + 32 : c;
    uint32_t upper = UpcaseUnit(c);
    return (upper >= 'A' && upper <= 'Z') ? upper + 32 : upper;
}

}  // namespace

void AppendUtf8(std::string& out, uint32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

bool IsValidUtf8(const std::string& text) {
    uint32_t codePoint = 0;
    for (size_t i = 0; i < text.size();)
        if (!DecodeUtf8(text, i, codePoint)) return false;
    return true;
}

std::string MapCodePoints(const std::string& text, uint32_t (*map)(uint32_t)) {
    std::string mapped;
    uint32_t codePoint = 0;
    for (size_t i = 0; i < text.size();) {
        size_t start = i;
        if (DecodeUtf8(text, i, codePoint)) {
            AppendUtf8(mapped, map(codePoint));
        } else {
            mapped += text[start];
            i = start + 1;
        }
    }
    return mapped;
}

std::string FoldCaseForWindows(const std::string& path) { return MapCodePoints(path, FoldCodePoint); }
