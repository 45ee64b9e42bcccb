// Fuzzes the hand-written decimal conversion against the C library's strtoull.
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzz_check.h"
#include "update/decimal.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    uint64_t value = ParseDecimal(text.data(), text.size());
    // strtoull stops at the terminating NUL, and so must the conversion at an embedded one.
    errno = 0;
    unsigned long long reference = std::strtoull(text.c_str(), nullptr, 10);
    FUZZ_REQUIRE(value == reference);
    // A length cut before the end reads exactly that prefix.
    if (size > 1) {
        const std::string prefix = text.substr(0, size / 2);
        FUZZ_REQUIRE(ParseDecimal(text.data(), size / 2) == std::strtoull(prefix.c_str(), nullptr, 10));
    }
    return 0;
}
