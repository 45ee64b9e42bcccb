// Range request headers and the Content-Range check; read as strings since Wine's numbers stop at 32 bits.
#include "update/http_range.h"

namespace {

// Takes the digits at the front of text (1 to 19 of them) into number.
bool TakeNumber(std::string_view& text, uint64_t& number) {
    size_t digits = 0;
    number = 0;
    while (digits < text.size() && digits < 20 && text[digits] >= '0' && text[digits] <= '9') {
        number = number * 10 + static_cast<uint64_t>(text[digits] - '0');
        ++digits;
    }
    if (digits == 0 || digits > 19) return false;
    text.remove_prefix(digits);
    return true;
}

bool TakeChar(std::string_view& text, char ch) {
    if (text.empty() || text[0] != ch) return false;
    text.remove_prefix(1);
    return true;
}

}  // namespace

std::string RangeRequestHeader(uint64_t first, uint64_t last) {
    return "Range: bytes=" + std::to_string(first) + "-" + std::to_string(last) + "\r\n";
}

// Sample: "bytes 4096-12287/1048576"
bool ParseContentRange(std::string_view value, uint64_t& first, uint64_t& last, uint64_t& total) {
    if (value.compare(0, 6, "bytes ") != 0) return false;
    value.remove_prefix(6);
    return TakeNumber(value, first) && TakeChar(value, '-') && TakeNumber(value, last) &&
           TakeChar(value, '/') && TakeNumber(value, total) && value.empty() && first <= last &&
           last < total;
}

// Sample: "8192"
bool ParseContentLength(std::string_view value, uint64_t& length) {
    return TakeNumber(value, length) && value.empty();
}
