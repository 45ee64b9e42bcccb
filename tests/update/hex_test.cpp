// HexEncode: the digest text that manifests are compared with byte for byte.
#include <gtest/gtest.h>

#include "update/file_hash.h"

TEST(HexEncode, WritesTwoLowerCaseDigitsPerByteHighNibbleFirst) {
    const uint8_t bytes[] = {0x00, 0x0f, 0xf0, 0xff, 0xab, 0x5c, 0x09, 0xa0};
    EXPECT_EQ(HexEncode(bytes, sizeof bytes), "000ff0ffab5c09a0");
    EXPECT_EQ(HexEncode(bytes, 0), "");
}
