// updater.log writer and the UTF-8 code-page conversions.
#include "base/log.h"

#include <windows.h>
#include <share.h>

#include <cstdarg>
#include <cstdio>

#include "base/long_path.h"
#include "base/settings.h"

void WriteLog(const char* format, ...) {
    char message[kLogMessageSize];
    va_list args;
    va_start(args, format);
    std::vsnprintf(message, sizeof message, format, args);  // cuts at 1023 bytes
    va_end(args);

    // Exclusive for the one line: a concurrent writer's open fails and its line is dropped,
    // so lines never interleave.
    FILE* file = _wfsopen(FileCallPath(settings.logPath).c_str(), L"ab", _SH_DENYRW);
    if (!file) return;
    SYSTEMTIME now;
    GetLocalTime(&now);
    std::string line = FormatLogLine(now.wDay, now.wMonth, now.wYear, now.wHour, now.wMinute,
                                     now.wSecond, message);
    std::fwrite(line.data(), 1, line.size(), file);
    std::fclose(file);
}

std::string ToUtf8(const std::wstring& text) {
    if (text.empty()) return std::string();
    int length = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                     nullptr, 0, nullptr, nullptr);
    if (length <= 0) return std::string();
    std::string result(static_cast<size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &result[0], length,
                        nullptr, nullptr);
    return result;
}

std::wstring ToWide(const std::string& text) {
    if (text.empty()) return std::wstring();
    int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                     nullptr, 0);
    if (length <= 0) return std::wstring();
    std::wstring result(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &result[0], length);
    return result;
}
