// Tests of the range request header and the checks of Content-Range and Content-Length strings.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "update/http_range.h"

TEST(HttpRange, RequestHeaderNamesOneInclusiveRange) {
    EXPECT_EQ(RangeRequestHeader(0, 4095), "Range: bytes=0-4095\r\n");
    EXPECT_EQ(RangeRequestHeader(5000000000ull, 6000000000ull), "Range: bytes=5000000000-6000000000\r\n");
}

TEST(HttpRange, ContentRangeIsReadBeyond32BitsAndRefusedWhenMalformed) {
    struct Row {
        const char* value;
        bool ok;
        uint64_t first, last, total;
    };
    const Row rows[] = {
        {"bytes 0-4095/8192", true, 0, 4095, 8192},
        {"bytes 4294967296-4294971391/6442450944", true, 4294967296ull, 4294971391ull, 6442450944ull},
        {"bytes 5-5/6", true, 5, 5, 6},
        {"bytes 5-5/5", false, 0, 0, 0},
        {"bytes 6-5/10", false, 0, 0, 0},
        {"bytes 0-4095/*", false, 0, 0, 0},
        {"bytes */8192", false, 0, 0, 0},
        {"bytes 0-4095/8192 ", false, 0, 0, 0},
        {"bytes  0-4095/8192", false, 0, 0, 0},
        {"Bytes 0-4095/8192", false, 0, 0, 0},
        {"bytes 0-4095", false, 0, 0, 0},
        {"bytes -1-4095/8192", false, 0, 0, 0},
        {"bytes 0-99999999999999999999/99999999999999999999", false, 0, 0, 0},
        {"", false, 0, 0, 0},
    };
    for (const Row& row : rows) {
        uint64_t first = 0, last = 0, total = 0;
        EXPECT_EQ(ParseContentRange(row.value, first, last, total), row.ok) << row.value;
        if (!row.ok) continue;
        EXPECT_EQ(first, row.first) << row.value;
        EXPECT_EQ(last, row.last) << row.value;
        EXPECT_EQ(total, row.total) << row.value;
    }
    uint64_t length = 0;
    EXPECT_TRUE(ParseContentLength("6442450944", length));
    EXPECT_EQ(length, 6442450944ull);
    EXPECT_FALSE(ParseContentLength("", length));
    EXPECT_FALSE(ParseContentLength("12a", length));
    EXPECT_FALSE(ParseContentLength("-1", length));
}
