// What the scan of the installation does with each file it meets: a source for a moved file, or a
// partial download no planned file uses any more.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "update/manifest.h"

struct LocalScanRules {
    std::vector<uint64_t> named;        // LocalNameKey of every manifest path, sorted
    std::vector<uint64_t> planned;      // LocalNameKey of every planned path, sorted
    std::vector<uint64_t> wantedSizes;  // sizes of planned files with neither an installed copy
                                        // nor a partial download, sorted
};

// A key under which two relative paths are equal when Windows resolves them to the same name
// (letters folded, "/" as "\", trailing dots and blanks cut). Unequal paths may share a key one
// time in 2^64; the scan then only leaves a file alone.
uint64_t LocalNameKey(const std::string& path);

// planned: positions in manifest.entries; seedless: those of them that have no local bytes at all.
LocalScanRules MakeLocalScanRules(const Manifest& manifest, const std::vector<uint32_t>& planned,
                                  const std::vector<uint32_t>& seedless);

enum class LocalFileRole {
    Ignore,
    Source,         // no manifest path, and the size of a wanted file: may hold its bytes
    UnusedPartial,  // a ".part" whose file is not planned: nothing will resume it
};

// The role of a file found at path (UTF-8, relative to the installation, "\" or "/") of size
// bytes. A ".part" below a folder named like one is not the updater's download and stays.
LocalFileRole RoleOfLocalFile(const LocalScanRules& rules, const std::string& path, uint64_t size);

// The cheap test before RoleOfLocalFile, from what the directory listing gives: only a file whose
// name ends in ".part" (letter case aside) or whose size some wanted file has can be other than
// Ignore. Keeps the walk over 100,000 current files at the cost of the listing.
bool MayMatterToLocalScan(const LocalScanRules& rules, bool partName, uint64_t size);

// A file the scan found that may hold a wanted file's bytes.
struct LocalSource {
    std::wstring path;  // installDir + "\" + its relative path
    uint64_t size = 0;
    bool tried = false;  // copied once and found to hold other bytes
};

// The platform side (local_scan_win.cpp): walks installDir, at most a bounded number of names and
// never through a reparse point, removes every unused partial download (logged), and returns the
// sources ordered by size.
std::vector<LocalSource> ScanInstallation(const LocalScanRules& rules);
