// The text of a single-range request and the checks of its answer's headers, read as strings.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

// "Range: bytes=first-last\r\n"
std::string RangeRequestHeader(uint64_t first, uint64_t last);

// "bytes 100-199/5000": exactly that form (no blanks inside, no "*"), numbers of at most 19
// digits, first <= last < total. False on anything else.
bool ParseContentRange(std::string_view value, uint64_t& first, uint64_t& last, uint64_t& total);

// Plain digits, at most 19 of them.
bool ParseContentLength(std::string_view value, uint64_t& length);
