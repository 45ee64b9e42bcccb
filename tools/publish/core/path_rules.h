// Which release paths the publisher lets into a manifest, beyond the updater's own path rules.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "update/name_fold.h"

// A key under which two paths are equal exactly when NTFS would treat them as the same name:
// every character of the Basic Multilingual Plane becomes its simple uppercase (from ICU), as
// NTFS's upcase table does; characters beyond it and bytes that are not UTF-8 stay as they are.
std::string FoldCaseForNtfs(const std::string& path);

// Empty when every "/"-separated name of path can be a file name on Windows; otherwise the reason
// (an empty name, a reserved device name such as CON or LPT1, or a name ending in a dot or a
// blank).
std::string WindowsNameProblem(const std::string& path);

// Checks a release's file paths (relative, "/"-separated); each refusal becomes one line in
// problems. Covers the updater's own path rules, UTF-8, Windows names, the updater's own working
// files (updater.state, updater.log, and ".part" in any name, folders too), and paths that
// collide once case is folded (two files, or a file and a folder).
void CheckReleasePaths(const std::vector<std::string>& paths, std::vector<std::string>& problems);

// Refuses what an installation of an earlier release could never take: a path that is a file in
// before and a folder (holding a file) in after, or the reverse, compared as NTFS folds names.
// The updater replaces files only, so every such installation would fail at that path on each run.
// One line in problems per pair, naming both paths; beforeName says which release before is
// ("the live release (serial 4)").
void CheckFileFolderChanges(const std::vector<std::string>& before, const std::vector<std::string>& after,
                            const std::string& beforeName, std::vector<std::string>& problems);

// The same, with the new release folded once for all the releases players may hold (the live,
// the staged and every kept one): FoldRelease's result refers to paths, which must outlive it.
struct FoldedRelease {
    const std::vector<std::string>* paths = nullptr;
    std::vector<std::string> folded;
    std::unordered_map<std::string, const std::string*> folders;  // each folder, a path below it
    std::unordered_map<std::string, size_t> files;                // each path, its index
    std::unordered_set<std::string_view> spelled;                 // each path as written
};
FoldedRelease FoldRelease(const std::vector<std::string>& paths);
void CheckFileFolderChanges(const std::vector<std::string>& before, const FoldedRelease& after,
                            const std::string& beforeName, std::vector<std::string>& problems);

// Warnings about a release file that some installations cannot take: one of 4 GiB or more (FAT32
// holds files below 4 GiB only), and a path so long that with ".part" it leaves less than 100
// characters of MAX_PATH for the installation folder. Each is one line in warnings, with the
// problem code in codes.
void CheckReleaseFileLimits(const std::string& path, uint64_t size, std::vector<std::string>& warnings,
                            std::vector<std::string>& codes);
