// Which release paths the publisher lets into a manifest, beyond the updater's own path rules.
#include "path_rules.h"

#include "update/manifest.h"

#include <cstdint>
#include <map>

#include <unicode/uchar.h>

namespace {

// Decodes one UTF-8 sequence at text[i]; false for anything malformed.
bool DecodeUtf8(const std::string& text, size_t& i, uint32_t& codePoint) {
    uint8_t lead = static_cast<uint8_t>(text[i]);
    size_t extra = 0;
    if (lead >= 0x80) {
        if ((lead >> 5) == 6) extra = 1;
        else if ((lead >> 4) == 14) extra = 2;
        else if ((lead >> 3) == 30) extra = 3;
        else return false;
    }
    if (extra > text.size() - i - 1) return false;
    codePoint = extra == 0 ? lead : lead & (0x3F >> extra);
    for (size_t k = 1; k <= extra; ++k) {
        uint8_t next = static_cast<uint8_t>(text[i + k]);
        if ((next & 0xC0) != 0x80) return false;
        codePoint = (codePoint << 6) | (next & 0x3F);
    }
    static const uint32_t kMinimum[] = {0, 0x80, 0x800, 0x10000};
    if (codePoint < kMinimum[extra] || codePoint > 0x10FFFF ||
        (codePoint >= 0xD800 && codePoint <= 0xDFFF))
        return false;
    i += extra + 1;
    return true;
}

void AppendUtf8(std::string& out, uint32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// NTFS compares names through its upcase table, one UTF-16 unit at a time: each unit maps to its
// simple uppercase (UnicodeData's one-to-one mapping, what u_toupper gives), and units outside the
// BMP (surrogate pairs) are compared as they stand. Case folding (u_foldCase) would be wrong here:
// it joins U+1E9E with U+00DF and U+212A KELVIN SIGN with k, which NTFS keeps apart.
uint32_t FoldCodePoint(uint32_t c) {
    if (c > 0xFFFF) return c;
    return static_cast<uint32_t>(u_toupper(static_cast<UChar32>(c)));
}

// The updater keeps its state and log in the install folder and downloads into "<target>.part";
// a release file under one of those names would be overwritten or deleted by the updater itself.
std::string UpdaterFileClash(const std::string& folded) {
    if (folded == "UPDATER.STATE" || folded == "UPDATER.LOG") return "it keeps updater.state and updater.log there";
    if (folded.size() >= 5 && folded.compare(folded.size() - 5, 5, ".PART") == 0)
        return "it downloads into .part files";
    return std::string();
}

}  // namespace

bool IsValidUtf8(const std::string& text) {
    uint32_t codePoint = 0;
    for (size_t i = 0; i < text.size();)
        if (!DecodeUtf8(text, i, codePoint)) return false;
    return true;
}

std::string FoldCaseForWindows(const std::string& path) {
    std::string folded;
    uint32_t codePoint = 0;
    for (size_t i = 0; i < path.size();) {
        size_t start = i;
        if (DecodeUtf8(path, i, codePoint)) {
            AppendUtf8(folded, FoldCodePoint(codePoint));
        } else {
            folded += path[start];
            i = start + 1;
        }
    }
    return folded;
}

std::string WindowsNameProblem(const std::string& path) {
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        std::string name = path.substr(start, end - start);
        // NB: the updater accepts "a//b" and "dir/", but no file has such a name and the
        // publisher's server refuses the URL, so the release could never be installed.
        if (name.empty()) return "an empty name (a leading, doubled or trailing \"/\") names no file";
        if (IsWindowsDeviceName(name)) return "\"" + name + "\" is a reserved device name on Windows";
        if (name.back() == '.' || name.back() == ' ')
            return "\"" + name + "\" ends in a dot or blank, which Windows drops";
        start = end + 1;
    }
    return std::string();
}

void CheckReleasePaths(const std::vector<std::string>& paths, std::vector<std::string>& problems) {
    std::map<std::string, std::string> files;    // folded path -> first path seen
    std::map<std::string, std::string> folders;  // folded folder -> a file under it
    for (const std::string& path : paths) {
        // Named first: the updater refuses device names too, but this reason says which name.
        std::string windows = WindowsNameProblem(path);
        if (!windows.empty()) {
            problems.push_back("path cannot exist on Windows (" + windows + "): " + path);
            continue;
        }
        if (!IsSafeManifestPath(path)) {
            problems.push_back("unsafe path (the updater would refuse the manifest): " + path);
            continue;
        }
        if (!IsValidUtf8(path)) {
            problems.push_back("path is not valid UTF-8: " + path);
            continue;
        }
        std::string folded = FoldCaseForWindows(path);
        std::string clash = UpdaterFileClash(folded);
        if (!clash.empty()) {
            problems.push_back("path clashes with the updater's own files (" + clash + "): " + path);
            continue;
        }
        auto seen = files.emplace(folded, path);
        if (!seen.second && seen.first->second == path)
            problems.push_back("path listed twice: " + path);
        else if (!seen.second)
            problems.push_back("paths differ only in case: " + seen.first->second + " and " + path);
        for (size_t slash = folded.find('/'); slash != std::string::npos;
             slash = folded.find('/', slash + 1))
            folders.emplace(folded.substr(0, slash), path);
    }
    for (const auto& folder : folders) {
        auto file = files.find(folder.first);
        if (file != files.end())
            problems.push_back("file and folder differ only in case: " + file->second + " and " +
                               folder.second);
    }
}
