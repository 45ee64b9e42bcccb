// Percent-encoding of manifest paths and the progress formula.
#include <gtest/gtest.h>

#include "update/http.h"

TEST(UrlEncodePath, KeepsUnreservedBytesAndSlashes) {
    EXPECT_EQ(UrlEncodePath(""), "");
    std::string unreserved =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_.~/";
    EXPECT_EQ(UrlEncodePath(unreserved), unreserved);
    EXPECT_EQ(UrlEncodePath("data/Maps/Erste Karte.pak"), "data/Maps/Erste%20Karte.pak");
}

TEST(UrlEncodePath, EncodesEveryOtherByteAsUpperCaseHex) {
    EXPECT_EQ(UrlEncodePath("M\xC3\xBC" "hle.pak"), "M%C3%BChle.pak");
    EXPECT_EQ(UrlEncodePath("a\\b"), "a%5Cb");
    EXPECT_EQ(UrlEncodePath("100%+?#"), "100%25%2B%3F%23");
    // Characters that would end or change the path in a URL.
    EXPECT_EQ(UrlEncodePath(":@!$&'()*,;=[]"), "%3A%40%21%24%26%27%28%29%2A%2C%3B%3D%5B%5D");
    EXPECT_EQ(UrlEncodePath(std::string("\x01\t\n\r\x7F", 5)), "%01%09%0A%0D%7F");
    EXPECT_EQ(UrlEncodePath(std::string(1, '\0')), "%00");
    EXPECT_EQ(UrlEncodePath("\xFF\x80"), "%FF%80");
}

TEST(UrlEncodePath, EncodesEveryByteOutsideTheUnreservedSet) {
    for (int c = 0; c < 256; ++c) {
        std::string encoded = UrlEncodePath(std::string(1, static_cast<char>(c)));
        bool unreserved = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                          (c >= '0' && c <= '9') || c == '-' || c == '_' || c == '.' ||
                          c == '~' || c == '/';
        EXPECT_EQ(encoded.size(), unreserved ? 1u : 3u) << "byte " << c;
    }
}

TEST(ProgressPermille, TruncatesAndIsNotClamped) {
    EXPECT_EQ(ProgressPermille(500, 500, 2000), 500);
    EXPECT_EQ(ProgressPermille(0, 1, 3), 333);
    EXPECT_EQ(ProgressPermille(0, 1, 2000), 0);
    EXPECT_EQ(ProgressPermille(0, 2, 3), 666);
    EXPECT_EQ(ProgressPermille(0, 3, 3), 1000);
    EXPECT_EQ(ProgressPermille(2000, 1000, 2000), 1500);
    EXPECT_EQ(ProgressPermille(0, 5, 0), 0);
    // Sizes beyond 4 GiB must not wrap in 32 bits.
    uint64_t big = 6ull << 30;
    EXPECT_EQ(ProgressPermille(big / 2, big / 4, big), 750);
}
