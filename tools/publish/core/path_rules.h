// Which release paths the publisher lets into a manifest, beyond the updater's own path rules.
#pragma once
#include <string>
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
