// Turns a raw HTTP request target into the names of a file inside the served tree, or refuses it.
#include "serve/request_path.h"

namespace {

int HexValue(char ch) {
    if (ch >= '0' && ch <= '9') return ch - '0';
    if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
    if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
    return -1;
}

bool PercentDecode(const std::string& text, std::string& decoded) {
    decoded.clear();
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            decoded += text[i];
            continue;
        }
        if (i + 2 >= text.size()) return false;
        int high = HexValue(text[i + 1]);
        int low = HexValue(text[i + 2]);
        if (high < 0 || low < 0) return false;
        decoded += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return true;
}

}  // namespace

TargetVerdict SplitRequestTarget(const std::string& target, std::vector<std::string>& names) {
    names.clear();
    std::string path = target.substr(0, target.find('?'));
    std::string decoded;
    if (path.empty() || path[0] != '/' || !PercentDecode(path, decoded))
        return TargetVerdict::BadRequest;
    // NB: the checks run on the decoded bytes, so "%2e%2e" and "%5C" are caught like ".." and "\".
    if (decoded.find('\0') != std::string::npos || decoded.find('\\') != std::string::npos)
        return TargetVerdict::BadRequest;
    size_t start = 1;
    for (;;) {
        size_t slash = decoded.find('/', start);
        std::string name = decoded.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
        if (name == "." || name == "..") return TargetVerdict::BadRequest;
        if (name.empty()) {
            if (slash == std::string::npos) return TargetVerdict::NotFound;  // a folder
            return TargetVerdict::BadRequest;
        }
        names.push_back(name);
        if (slash == std::string::npos) return TargetVerdict::File;
        start = slash + 1;
    }
}
