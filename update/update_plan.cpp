// The pure rules of the update run: which entries need an update, and its status texts.
#include "update/update_plan.h"

#include <algorithm>

#include "update/name_fold.h"

namespace {

// The names of a path as Windows resolves them, letter case kept.
std::vector<std::string> WindowsNames(const std::string& path) {
    std::vector<std::string> names;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = std::min(path.find_first_of("/\\", start), path.size());
        std::string name = path.substr(start, end - start);
        // Windows drops trailing dots and blanks, which also turns "." into nothing.
        while (!name.empty() && (name.back() == '.' || name.back() == ' ')) name.pop_back();
        if (!name.empty()) names.push_back(name);
        start = end + 1;
    }
    return names;
}

// The same names, each folded for comparison.
std::vector<std::string> ResolvedNames(const std::string& path) {
    return WindowsNames(FoldCaseForWindows(path));
}

bool EndsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// Whether names, relative to the installation directory, name updater.state, its ".new" twin,
// updater.log, a ".part" download, or something below one of them.
bool NamesStateOrDownload(const std::vector<std::string>& names) {
    if (names.empty()) return false;
    // NB: a release file under one of these names lets a signed manifest overwrite the rollback
    // state (a failed run would then lock every later release out), the log, or a download in
    // progress. updater.cfg stays allowed: it moves players.
    for (const char* own : {"updater.state", "updater.state.new", "updater.log"}) {
        if (names[0] == own) return true;
    }
    // NB: a folder named like a download is as bad as the file: the updater never removes
    // folders, so "game.pak.part/" would block every later change of game.pak for good.
    return std::any_of(names.begin(), names.end(),
                       [](const std::string& name) { return EndsWith(name, ".part"); });
}

bool StartsWith(const std::vector<std::string>& names, const std::vector<std::string>& head) {
    return names.size() >= head.size() && std::equal(head.begin(), head.end(), names.begin());
}

}  // namespace

bool IsUpToDate(const ManifestEntry& entry, bool hashed, const std::string& hex, uint64_t size) {
    return hashed && size == entry.size && hex == entry.sha256;
}

uint64_t SaturatingAdd(uint64_t a, uint64_t b) {
    return a > UINT64_MAX - b ? UINT64_MAX : a + b;
}

void AddToPlan(UpdatePlan& plan, uint32_t index, uint64_t size) {
    plan.entryIndices.push_back(index);
    plan.totalBytes = SaturatingAdd(plan.totalBytes, size);
}

std::wstring DownloadStatusText(uint32_t k, uint32_t n) {
    return L"Lade Update " + std::to_wstring(k) + L" von " + std::to_wstring(n) + L" ...";
}

std::wstring CheckStatusText() { return L"Pr\u00fcfe Dateien ..."; }

std::string FileUrl(const std::string& baseUrl, const std::string& encodedPath) {
    return baseUrl + "/files/" + encodedPath;
}

bool IsUpdaterStateOrDownloadName(const std::string& path) {
    return NamesStateOrDownload(ResolvedNames(path));
}

OwnFileNames OwnFileNamesOf(const std::string& installDir, const std::string& exePath) {
    return {ResolvedNames(installDir), ResolvedNames(exePath + ".old")};
}

bool IsUpdaterWorkingFile(const std::string& path, const OwnFileNames& own) {
    std::vector<std::string> names = ResolvedNames(path);
    if (names.empty()) return false;
    if (NamesStateOrDownload(names)) return true;
    // The updater's previous copy is as much its own as the state file. Compared in place, since
    // joining the installation's names with the path's for every entry costs more than the rule.
    size_t inDir = own.installDir.size();
    if (inDir + names.size() < own.oldCopy.size()) return false;
    for (size_t i = 0; i < own.oldCopy.size(); ++i) {
        const std::string& name = i < inDir ? own.installDir[i] : names[i - inDir];
        if (name != own.oldCopy[i]) return false;
    }
    return true;
}

bool IsUpdaterWorkingFile(const std::string& path, const std::string& installDir,
                          const std::string& exePath) {
    return IsUpdaterWorkingFile(path, OwnFileNamesOf(installDir, exePath));
}

bool IsUpdaterWorkingPath(const std::string& fullPath, const OwnFileNames& own) {
    std::vector<std::string> target = ResolvedNames(fullPath);
    if (StartsWith(target, own.installDir)) {
        std::vector<std::string> below(target.begin() + own.installDir.size(), target.end());
        if (NamesStateOrDownload(below)) return true;
    }
    return StartsWith(target, own.oldCopy);
}

bool MayHoldShortName(const std::string& path) { return path.find('~') != std::string::npos; }

std::string WindowsRelativePath(const std::string& path) {
    std::string joined;
    for (const std::string& name : WindowsNames(path)) {
        if (!joined.empty()) joined += '\\';
        joined += name;
    }
    return joined;
}
