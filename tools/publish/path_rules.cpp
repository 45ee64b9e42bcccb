// Which release paths the publisher lets into a manifest, beyond the updater's own path rules.
#include "path_rules.h"

#include "update/manifest.h"

#include <map>

namespace {

// The updater keeps its state and log in the install folder and downloads into "<target>.part";
// a release file under one of those names would be overwritten or deleted by the updater itself.
std::string UpdaterFileClash(const std::string& folded) {
    if (folded == "updater.state" || folded == "updater.log") return "it keeps " + folded + " there";
    if (folded.size() >= 5 && folded.compare(folded.size() - 5, 5, ".part") == 0)
        return "it downloads into .part files";
    return std::string();
}

}  // namespace

std::string WindowsNameProblem(const std::string& path) {
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        std::string name = path.substr(start, end - start);
        if (IsWindowsDeviceName(name)) return "\"" + name + "\" is a reserved device name on Windows";
        if (!name.empty() && (name.back() == '.' || name.back() == ' '))
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
