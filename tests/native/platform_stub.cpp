// Portable stand-ins for the few Windows-only services the portable code calls.
#include <cstdarg>
#include <cstdio>
#include <string>
#include <vector>

#include "base/log.h"
#include "update/name_fold.h"

std::vector<std::string> capturedLog;

void WriteLog(const char* format, ...) {
    char message[kLogMessageSize];
    va_list args;
    va_start(args, format);
    std::vsnprintf(message, sizeof message, format, args);
    va_end(args);
    capturedLog.emplace_back(message);
}

std::string ToUtf8(const std::wstring& text) {
    std::string out;
    for (wchar_t w : text) AppendUtf8(out, static_cast<uint32_t>(w));
    return out;
}

std::wstring ToWide(const std::string& text) {
    std::wstring out;
    for (size_t i = 0; i < text.size();) {
        auto b = static_cast<unsigned char>(text[i]);
        int extra = b >= 0xF0 ? 3 : b >= 0xE0 ? 2 : b >= 0xC0 ? 1 : 0;
        unsigned long c = extra ? (b & (0x3F >> extra)) : b;
        size_t j = 1;
        for (; j <= static_cast<size_t>(extra) && i + j < text.size(); ++j) {
            c = (c << 6) | (static_cast<unsigned char>(text[i + j]) & 0x3F);
        }
        out += static_cast<wchar_t>(c);
        i += j;
    }
    return out;
}
