// Fuzzes the percent-encoding of manifest paths: what it may emit, and that it decodes back.
#include <cstdint>
#include <string>

#include "fuzz_check.h"
#include "update/http.h"

namespace {
bool IsKept(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
           c == '-' || c == '_' || c == '.' || c == '~' || c == '/';
}
int UpperHexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path(reinterpret_cast<const char*>(data), size);
    const std::string encoded = UrlEncodePath(path);
    std::string decoded;
    for (size_t i = 0; i < encoded.size(); ++i) {
        auto c = static_cast<unsigned char>(encoded[i]);
        if (c != '%') {
            FUZZ_REQUIRE(IsKept(c));
            decoded += encoded[i];
            continue;
        }
        FUZZ_REQUIRE(i + 2 < encoded.size());
        int high = UpperHexValue(encoded[i + 1]);
        int low = UpperHexValue(encoded[i + 2]);
        FUZZ_REQUIRE(high >= 0 && low >= 0);
        // Only bytes that need it are escaped, so one path has one URL.
        FUZZ_REQUIRE(!IsKept(static_cast<unsigned char>(high * 16 + low)));
        decoded += static_cast<char>(high * 16 + low);
        i += 2;
    }
    FUZZ_REQUIRE(decoded == path);
    return 0;
}
