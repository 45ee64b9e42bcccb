// Tests of the decimal conversion shared by the manifest and the state file.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "update/decimal.h"

namespace {
uint64_t Decimal(const std::string& text) { return ParseDecimal(text.data(), text.size()); }
}  // namespace

TEST(DecimalConversion, SkipsWhiteSpaceAndStopsAtFirstNonDigit) {
    EXPECT_EQ(Decimal("123"), 123u);
    EXPECT_EQ(Decimal(" \t\n\v\f\r42"), 42u);
    EXPECT_EQ(Decimal("42abc"), 42u);
    EXPECT_EQ(Decimal("4 2"), 4u);
    EXPECT_EQ(Decimal("0000000000000000000000000009"), 9u);  // leading zeros never overflow
    EXPECT_EQ(Decimal(std::string("12\0" "34", 5)), 12u);
}

TEST(DecimalConversion, GivesZeroWithoutDigits) {
    for (const char* text : {"", " ", "abc", "+", "-", "- 5", "+-5", "\xC2\xA0" "5"}) {
        EXPECT_EQ(Decimal(text), 0u) << text;
    }
}

TEST(DecimalConversion, AppliesSignModulo64Bits) {
    EXPECT_EQ(Decimal("+17"), 17u);
    EXPECT_EQ(Decimal("-0"), 0u);
    EXPECT_EQ(Decimal("-1"), UINT64_MAX);
    EXPECT_EQ(Decimal("  -2"), UINT64_MAX - 1);
    EXPECT_EQ(Decimal("-18446744073709551615"), 1u);
}

TEST(DecimalConversion, SaturatesBeyond64Bits) {
    EXPECT_EQ(Decimal("18446744073709551615"), UINT64_MAX);
    EXPECT_EQ(Decimal("18446744073709551614"), UINT64_MAX - 1);
    EXPECT_EQ(Decimal("18446744073709551616"), UINT64_MAX);
    EXPECT_EQ(Decimal("18446744073709551620"), UINT64_MAX);
    EXPECT_EQ(Decimal("184467440737095516150"), UINT64_MAX);
    EXPECT_EQ(Decimal(std::string(5000, '9')), UINT64_MAX);
    EXPECT_EQ(Decimal("-18446744073709551616"), UINT64_MAX);  // as strtoull: saturated, not negated
}

TEST(DecimalConversion, ReadsNoByteBeyondTheGivenLength) {
    const char text[] = "98765";
    EXPECT_EQ(ParseDecimal(text, 3), 987u);
    EXPECT_EQ(ParseDecimal(text, 0), 0u);
    EXPECT_EQ(ParseDecimal(nullptr, 0), 0u);
}
