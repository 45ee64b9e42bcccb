// The check phase's result and the pure rules of the update run (up-to-date test, status texts).
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "update/manifest.h"

struct UpdatePlan {
    std::vector<uint32_t> entryIndices;  // positions in the manifest's entries, ascending
    uint64_t totalBytes = 0;             // manifest sizes of those entries
};

// A local file is up to date only if it could be hashed and both its size and its lower-case
// digest equal the entry's, byte for byte (an upper-case digest in the manifest never matches).
bool IsUpToDate(const ManifestEntry& entry, bool hashed, const std::string& hex, uint64_t size);

// Appends an entry to the plan. totalBytes saturates at 2^64 - 1 instead of wrapping, so a
// manifest of absurd sizes can never make the total 0 (which would switch progress off).
void AddToPlan(UpdatePlan& plan, uint32_t index, uint64_t size);

// Adds without wrapping: the result is at most 2^64 - 1.
uint64_t SaturatingAdd(uint64_t a, uint64_t b);

// "Lade Update k von n ..."
std::wstring DownloadStatusText(uint32_t k, uint32_t n);

// "Prüfe Dateien ..."
std::wstring CheckStatusText();

// The names the own-file rule compares with, resolved once for a whole manifest: installDir and
// exePath + ".old", each as Windows resolves names (see IsUpdaterWorkingFile). Both are given in
// UTF-8, full and normalised (as LongFullPath makes them), or another spelling of them is missed.
struct OwnFileNames {
    std::vector<std::string> installDir;
    std::vector<std::string> oldCopy;
};
OwnFileNames OwnFileNamesOf(const std::string& installDir, const std::string& exePath);

// Whether a manifest path names one of the updater's own working files as Windows resolves the
// name (letter case folded, "\" as "/", empty and "." names dropped, trailing dots and blanks
// cut): installDir's updater.state, its ".new" twin or updater.log, anything with a name ending
// in ".part" (a file, or a folder that would block the download beside it), or exePath + ".old";
// also any path below one of them, which would make it a folder. All UTF-8.
bool IsUpdaterWorkingFile(const std::string& path, const OwnFileNames& own);
bool IsUpdaterWorkingFile(const std::string& path, const std::string& installDir,
                          const std::string& exePath);

// The same rule for a full path, e.g. an entry's target once the file system has resolved its
// names: what lies below installDir is checked as a manifest path, and the ".old" copy anywhere.
bool IsUpdaterWorkingPath(const std::string& fullPath, const OwnFileNames& own);

// The part of IsUpdaterWorkingFile that needs no installation: updater.state, its ".new" twin,
// updater.log, a ".part" name in any segment, or a path below one of them. The publisher refuses
// the same.
bool IsUpdaterStateOrDownloadName(const std::string& path);

// Whether a name of path may be a short (8.3) alias of another name: every short name holds "~".
bool MayHoldShortName(const std::string& path);

// path's names as Windows resolves them (empty and "." names dropped, trailing dots and blanks
// cut), letter case kept, joined with "\": "a/./b. /c" -> "a\b\c".
std::string WindowsRelativePath(const std::string& path);

// baseUrl + "/files/" + the already percent-encoded path.
std::string FileUrl(const std::string& baseUrl, const std::string& encodedPath);
