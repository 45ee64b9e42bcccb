// Credentials cut out of URLs before they reach the log or the window.
#include "update/url_redact.h"

namespace {

bool IsSchemeCharacter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '+' ||
           c == '-' || c == '.';
}

// Where the part that may hold credentials starts: after "scheme://", else at 0.
size_t AuthorityStart(const std::string& url) {
    size_t separator = url.find("://");
    if (separator == std::string::npos || separator == 0) return 0;
    for (size_t i = 0; i < separator; ++i) {
        if (!IsSchemeCharacter(url[i])) return 0;
    }
    return separator + 3;
}

}  // namespace

std::string RedactUrl(const std::string& url) {
    size_t start = AuthorityStart(url);
    size_t at = url.rfind('@');
    if (at == std::string::npos || at < start) return url;
    return url.substr(0, start) + "***" + url.substr(at);
}
