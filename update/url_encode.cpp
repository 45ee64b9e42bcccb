// Percent-encoding of manifest paths for file URLs, and the download progress formula.
#include "update/http.h"

namespace {
bool IsUnreserved(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
           c == '-' || c == '_' || c == '.' || c == '~' || c == '/';
}
}  // namespace

// "data/Maps/Erste Karte.pak" -> "data/Maps/Erste%20Karte.pak"; "/" stays so segments stay apart.
std::string UrlEncodePath(const std::string& path) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(path.size());
    for (char ch : path) {
        auto c = static_cast<unsigned char>(ch);
        if (IsUnreserved(c)) {
            out += ch;
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 0x0F];
        }
    }
    return out;
}

int32_t ProgressPermille(uint64_t doneBytes, uint64_t receivedBytes, uint64_t totalBytes) {
    // Callers publish nothing for a total of 0; answering 0 keeps the function total.
    if (totalBytes == 0) return 0;
    return static_cast<int32_t>((doneBytes + receivedBytes) * 1000 / totalBytes);
}
