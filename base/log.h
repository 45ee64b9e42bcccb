// The log file and the only conversions between UTF-16 and UTF-8.
#pragma once
#include <cstddef>
#include <string>

constexpr size_t kLogMessageSize = 1024;  // a message is cut to 1023 bytes

// Appends one stamped line to settings.logPath; a line that cannot be written is dropped.
void WriteLog(const char* format, ...) __attribute__((format(printf, 1, 2)));

// "DD.MM.YYYY hh:mm:ss  message\r\n"
std::string FormatLogLine(int day, int month, int year, int hour, int minute, int second,
                          const char* message);

// Invalid input turns into U+FFFD; an empty input gives an empty result.
std::string ToUtf8(const std::wstring& text);
std::wstring ToWide(const std::string& text);
