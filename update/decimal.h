// The decimal conversion shared by the manifest and the state file (strtoull's rule, by hand).
#pragma once
#include <cstddef>
#include <cstdint>

// Skips leading white space, takes an optional sign ("-" negates modulo 2^64), then digits up to
// the first non-digit. No digits: 0. Beyond 64 bits: 18446744073709551615.
uint64_t ParseDecimal(const char* text, size_t length);
