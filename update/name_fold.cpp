// UTF-8 file names compared the way Windows compares them, shared by the updater and the publisher.
#include "update/name_fold.h"

#include <cstdint>

namespace {

// Decodes one UTF-8 sequence at text[i]; false for anything malformed.
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

uint32_t FoldCodePoint(uint32_t c) {
    if (c >= 'A' && c <= 'Z') return c + 32;
    if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return c + 32;       // Latin-1: À..Þ
    if (c == 0x131) return 'i';                                     // dotless ı: Windows upcases it to I
    if (c == 0x17F) return 's';                                     // long ſ: Windows upcases it to S
    if (c >= 0x100 && c <= 0x137) return c | 1;                     // Latin Extended-A pairs
    if (c >= 0x139 && c <= 0x148) return (c & 1) ? c + 1 : c;      // odd capitals here
    if (c >= 0x14A && c <= 0x177) return c | 1;
    if (c == 0x178) return 0xFF;                                    // Ÿ
    if (c >= 0x179 && c <= 0x17E) return (c & 1) ? c + 1 : c;
    if (c >= 0x391 && c <= 0x3AB && c != 0x3A2) return c + 32;      // Greek capitals
    if (c >= 0x410 && c <= 0x42F) return c + 32;                    // Cyrillic А..Я
    if (c >= 0x400 && c <= 0x40F) return c + 80;                    // Cyrillic Ѐ..Џ
    return c;
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
