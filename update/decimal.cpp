// Unsigned 64-bit decimal conversion with strtoull's rules, written out so it is exact anywhere.
#include "update/decimal.h"

// "  +123abc" -> 123, "-1" -> 18446744073709551615, "99999999999999999999" -> UINT64_MAX
uint64_t ParseDecimal(const char* text, size_t length) {
    size_t i = 0;
    while (i < length && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
    bool negative = false;
    if (i < length && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    uint64_t value = 0;
    bool overflow = false;
    for (; i < length && text[i] >= '0' && text[i] <= '9'; ++i) {
        auto digit = static_cast<uint64_t>(text[i] - '0');
        if (value > (UINT64_MAX - digit) / 10) overflow = true;
        value = value * 10 + digit;
    }
    if (overflow) return UINT64_MAX;
    return negative ? 0 - value : value;
}
