// The log line format, kept apart from the file so it can be tested anywhere.
#include "base/log.h"

#include <cstdio>

std::string FormatLogLine(int day, int month, int year, int hour, int minute, int second,
                          const char* message) {
    char stamp[64];
    std::snprintf(stamp, sizeof stamp, "%02d.%02d.%04d %02d:%02d:%02d  ", day, month, year, hour,
                  minute, second);
    std::string line = stamp;
    line += message;
    line += "\r\n";
    return line;
}
