// Which release paths the publisher lets into a manifest, beyond the updater's own path rules.
#include "core/path_rules.h"

#include "update/manifest.h"
#include "update/update_plan.h"

#include <algorithm>
#include <cstdint>
#include <functional>
#include <map>
#include <string_view>
#include <unordered_map>

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

// Whether word (small ASCII letters) stands in text in any ASCII letter case.
bool HasLetters(const std::string& text, std::string_view word) {
    for (size_t i = 0; i + word.size() <= text.size(); ++i) {
        size_t k = 0;
        while (k < word.size() && (text[i + k] | 0x20) == word[k]) ++k;
        if (k == word.size()) return true;
    }
    return false;
}

// Resolving every path's Windows names is a tenth of a re-publish; the updater's own names all
// hold "updater" or "part", and no other character folds to these letters (only the dotless i
// and the long s fold into ASCII), so a path with neither cannot clash.
bool MayClashWithUpdaterFiles(const std::string& path) {
    return HasLetters(path, "updater") || HasLetters(path, "part");
}

}  // namespace

std::string FoldCaseForNtfs(const std::string& path) {
    // u_toupper maps ASCII as plain ASCII does: most release paths never reach ICU.
    std::string folded(path);
    for (char& ch : folded) {
        if (static_cast<unsigned char>(ch) >= 0x80) return MapCodePoints(path, FoldCodePoint);
        if (ch >= 'a' && ch <= 'z') ch = static_cast<char>(ch - 32);
    }
    return folded;
}

std::string WindowsNameProblem(const std::string& path) {
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        std::string_view name = std::string_view(path).substr(start, end - start);
        // NB: the updater accepts "a//b" and "dir/", but no file has such a name and the
        // publisher's server refuses the URL, so the release could never be installed.
        if (name.empty()) return "an empty name (a leading, doubled or trailing \"/\") names no file";
        if (IsWindowsDeviceName(name))
            return "\"" + std::string(name) + "\" is a reserved device name on Windows";
        if (name.back() == '.' || name.back() == ' ')
            return "\"" + std::string(name) + "\" ends in a dot or blank, which Windows drops";
        start = end + 1;
    }
    return std::string();
}

void CheckReleasePaths(const std::vector<std::string>& paths, std::vector<std::string>& problems) {
    // Folded names sorted once rather than kept in a tree: a tree node per file is a good part of
    // a re-publish of 100,000 unchanged files.
    std::vector<std::pair<std::string, size_t>> files;  // folded path, index into paths
    files.reserve(paths.size());
    std::map<std::string, std::string, std::less<>> folders;  // folded folder -> a file under it
    std::string_view lastFolder;
    for (size_t i = 0; i < paths.size(); ++i) {
        const std::string& path = paths[i];
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
        if (MayClashWithUpdaterFiles(path) && IsUpdaterStateOrDownloadName(path)) {
            problems.push_back("path clashes with the updater's own files (updater.state, "
                               "updater.log, and .part downloads: a folder named like one would "
                               "block every later change of the file beside it): " + path);
            continue;
        }
        files.emplace_back(FoldCaseForNtfs(path), i);
        const std::string& folded = files.back().first;
        // Siblings share their folders: a file in the folder of the one before adds none.
        size_t last = folded.rfind('/');
        std::string_view folder = std::string_view(folded).substr(0, last == std::string::npos ? 0 : last);
        if (folder.empty() || folder == lastFolder) continue;
        for (size_t slash = folded.find('/'); slash != std::string::npos; slash = folded.find('/', slash + 1)) {
            std::string_view prefix = std::string_view(folded).substr(0, slash);
            if (folders.find(prefix) == folders.end()) folders.emplace(std::string(prefix), path);
        }
        lastFolder = folders.find(folder)->first;
    }
    // Stable: of the paths that fold alike, the first listed is the one named first.
    std::stable_sort(files.begin(), files.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    for (size_t i = 1; i < files.size(); ++i) {
        if (files[i].first != files[i - 1].first) continue;
        size_t first = i - 1;
        while (first > 0 && files[first - 1].first == files[i].first) --first;
        const std::string& seen = paths[files[first].second];
        const std::string& path = paths[files[i].second];
        problems.push_back(seen == path ? "path listed twice: " + path
                                        : "paths differ only in case: " + seen + " and " + path);
    }
    for (const auto& folder : folders) {
        auto file = std::lower_bound(files.begin(), files.end(), folder.first,
                                     [](const auto& entry, const std::string& key) { return entry.first < key; });
        if (file != files.end() && file->first == folder.first)
            problems.push_back("file and folder differ only in case: " + paths[file->second] + " and " +
                               folder.second);
    }
}

namespace {

// Every folder the paths name, folded, with the first path listed below it. Siblings share their
// folders, so a path in the folder of the one before adds nothing: a re-publish of 100,000
// unchanged files meets each of its 1,000 folders once, not 100,000 times.
std::unordered_map<std::string, const std::string*> FoldedFolders(const std::vector<std::string>& folded,
                                                                  const std::vector<std::string>& paths) {
    std::unordered_map<std::string, const std::string*> folders;
    std::string_view last;
    for (size_t i = 0; i < folded.size(); ++i) {
        const std::string& path = folded[i];
        size_t slash = path.rfind('/');
        if (slash == std::string::npos || std::string_view(path).substr(0, slash) == last) continue;
        for (size_t at = path.find('/'); at != std::string::npos; at = path.find('/', at + 1))
            folders.emplace(path.substr(0, at), &paths[i]);
        last = std::string_view(path).substr(0, slash);
    }
    return folders;
}

std::vector<std::string> FoldedAll(const std::vector<std::string>& paths) {
    std::vector<std::string> folded;
    folded.reserve(paths.size());
    for (const std::string& path : paths) folded.push_back(FoldCaseForNtfs(path));
    return folded;
}

}  // namespace

FoldedRelease FoldRelease(const std::vector<std::string>& paths) {
    FoldedRelease release;
    release.paths = &paths;
    release.folded = FoldedAll(paths);
    release.folders = FoldedFolders(release.folded, paths);
    release.files.reserve(release.folded.size());
    for (size_t i = 0; i < release.folded.size(); ++i) release.files.emplace(release.folded[i], i);
    release.spelled.reserve(paths.size());
    for (const std::string& path : paths) release.spelled.emplace(path);
    return release;
}

void CheckFileFolderChanges(const std::vector<std::string>& before, const FoldedRelease& after,
                            const std::string& beforeName, std::vector<std::string>& problems) {
    // Only a path the new release no longer holds can clash: a file of both releases is a folder
    // in neither, and every path below a folder that became a file is gone from the new release.
    // So a release held against the new one costs a lookup per path, and the rest only its few
    // removed paths.
    const std::string advice = "; the updater replaces files only, so every installation of " + beforeName +
                               " would fail there on each run: ship the change under a new name";
    std::map<size_t, const std::string*> becameFiles;  // the new file's index, the first path below it
    for (const std::string& path : before) {
        if (after.spelled.count(path) != 0) continue;  // the common case, without folding
        const std::string folded = FoldCaseForNtfs(path);
        if (after.files.count(folded) != 0) continue;
        auto inside = after.folders.find(folded);
        if (inside != after.folders.end())
            problems.push_back("a file becomes a folder: " + path + " is a file in " + beforeName +
                               ", this release has " + *inside->second + advice);
        for (size_t at = folded.find('/'); at != std::string::npos; at = folded.find('/', at + 1)) {
            auto file = after.files.find(folded.substr(0, at));
            if (file != after.files.end()) becameFiles.emplace(file->second, &path);
        }
    }
    for (const auto& [index, below] : becameFiles)
        problems.push_back("a folder becomes a file: " + (*after.paths)[index] + " is a file in this release, " +
                           beforeName + " has " + *below + advice);
}

void CheckFileFolderChanges(const std::vector<std::string>& before, const std::vector<std::string>& after,
                            const std::string& beforeName, std::vector<std::string>& problems) {
    CheckFileFolderChanges(before, FoldRelease(after), beforeName, problems);
}

void CheckReleaseFileLimits(const std::string& path, uint64_t size, std::vector<std::string>& warnings,
                            std::vector<std::string>& codes) {
    if (size >= (uint64_t{1} << 32)) {
        warnings.push_back(path + " is " + std::to_string(size) +
                           " bytes, 4 GiB or more: an installation on a FAT32 drive cannot hold it");
        codes.push_back("file-4gib");
    }
    // MAX_PATH holds 259 characters; the folder needs a backslash after it, the download ".part".
    size_t units = 0;  // UTF-16 units, as Windows counts a path
    for (unsigned char c : path) units += (c & 0xC0) != 0x80 ? 1 : 0;
    for (unsigned char c : path) units += c >= 0xF0 ? 1 : 0;  // a 4-byte sequence is a surrogate pair
    const size_t used = units + 1 + 5;
    if (used + 100 > 259) {
        warnings.push_back(path + " is " + std::to_string(units) + " characters long: with \".part\" it leaves " +
                           (used >= 259 ? std::string("no") : std::to_string(259 - used)) +
                           " of the 259 characters of a Windows path for the installation folder, fewer than 100; "
                           "the updater copes, the game and other tools may not");
        codes.push_back("path-long");
    }
}
