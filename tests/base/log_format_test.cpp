// The log line stamp.
#include <gtest/gtest.h>

#include "base/log.h"

TEST(LogFormat, StampIsZeroPaddedWithTwoBlanks) {
    EXPECT_EQ(FormatLogLine(3, 3, 2025, 9, 7, 5, "update finished"),
              "03.03.2025 09:07:05  update finished\r\n");
    EXPECT_EQ(FormatLogLine(31, 12, 999, 23, 59, 59, ""), "31.12.0999 23:59:59  \r\n");
}
