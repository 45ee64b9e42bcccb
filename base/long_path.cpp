// The "\\?\" form of a path: the prefix and the normalisation Windows skips for that form.
#include "base/long_path.h"

#include <vector>

namespace {

bool StartsWith(const std::wstring& text, const wchar_t* prefix) {
    return text.compare(0, std::wstring(prefix).size(), prefix) == 0;
}

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

bool IsDriveLetter(wchar_t c) { return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z'); }

// The names after the root, with "." dropped and ".." taking back the one before it.
std::wstring NormalisedNames(const std::wstring& path, size_t from) {
    std::vector<std::wstring> names;
    size_t start = from;
    while (start <= path.size()) {
        size_t end = start;
        while (end < path.size() && !IsSeparator(path[end])) ++end;
        std::wstring name = path.substr(start, end - start);
        if (name == L"..") {
            if (!names.empty()) names.pop_back();
        } else if (!name.empty() && name != L".") {
            names.push_back(name);
        }
        start = end + 1;
    }
    std::wstring joined;
    for (size_t i = 0; i < names.size(); ++i) joined += (i ? L"\\" : L"") + names[i];
    // A trailing separator of a folder path stays: it is part of what the caller asked for.
    if (!path.empty() && IsSeparator(path.back()) && !joined.empty()) joined += L'\\';
    return joined;
}

}  // namespace

std::wstring ExtendedLengthPath(const std::wstring& path) {
    if (StartsWith(path, L"\\\\?\\") || StartsWith(path, L"\\\\.\\")) return path;
    if (path.size() >= 3 && IsDriveLetter(path[0]) && path[1] == L':' && IsSeparator(path[2]))
        return L"\\\\?\\" + path.substr(0, 2) + L"\\" + NormalisedNames(path, 3);
    if (path.size() >= 3 && IsSeparator(path[0]) && IsSeparator(path[1]) && !IsSeparator(path[2])) {
        // \\server\share is the root of a UNC path: ".." never climbs above the share.
        size_t server = path.find_first_of(L"\\/", 2);
        size_t share = server == std::wstring::npos ? server : path.find_first_of(L"\\/", server + 1);
        if (share == std::wstring::npos) return L"\\\\?\\UNC\\" + NormalisedNames(path, 2);
        std::wstring root = path.substr(2, server - 2) + L"\\" + path.substr(server + 1, share - server - 1);
        return L"\\\\?\\UNC\\" + root + L"\\" + NormalisedNames(path, share + 1);
    }
    return path;
}

std::wstring WithoutExtendedPrefix(const std::wstring& path) {
    if (StartsWith(path, L"\\\\?\\UNC\\")) return L"\\\\" + path.substr(8);
    if (StartsWith(path, L"\\\\?\\")) return path.substr(4);
    return path;
}
