// Which release paths the publisher lets into a manifest, beyond the updater's own path rules.
#include "path_rules.h"

#include "update/manifest.h"
#include "update/update_plan.h"

#include <cstdint>
#include <map>

#include <unicode/uchar.h>

namespace {

// NTFS compares names through its upcase table, one UTF-16 unit at a time: each unit maps to its
// simple uppercase (UnicodeData's one-to-one mapping, what u_toupper gives), and units outside the
// BMP (surrogate pairs) are compared as they stand. Case folding (u_foldCase) would be wrong here:
// it joins U+1E9E with U+00DF and U+212A KELVIN SIGN with k, which NTFS keeps apart.
uint32_t FoldCodePoint(uint32_t c) {
    if (c > 0xFFFF) return c;
    return static_cast<uint32_t>(u_toupper(static_cast<UChar32>(c)));
}

}  // namespace


std::string FoldCaseForNtfs(const std::string& path) { return MapCodePoints(path, FoldCodePoint); }

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
        // The updater refuses these too: a release holding one could never be installed.
        if (IsUpdaterStateOrDownloadName(path)) {
            problems.push_back("path clashes with the updater's own files (updater.state, "
                               "updater.log, and .part downloads: a folder named like one would "
                               "block every later change of the file beside it): " + path);
            continue;
        }
        std::string folded = FoldCaseForNtfs(path);
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
