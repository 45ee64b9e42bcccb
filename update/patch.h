// Bringing one planned file into place from local bytes and byte ranges instead of a whole download.
#pragma once
#include <cstdint>
#include <string>

#include "update/manifest.h"

enum class PatchResult {
    Installed,  // the file is in place, checked against the manifest
    WholeFile,  // an anomaly (logged with its reason): fetch this file whole, as without patches
    Failed,     // the run fails as a whole-file download would (error holds the German message);
                // what the ".part" holds stays for the next run
};

// Fetches entry's block file from the offered folder, takes the blocks the installed copy (at
// any offset) and a leftover ".part" (at their own offsets) already hold, fetches the rest as
// byte ranges of the body, and installs the checked ".part". Progress counts from doneBytes.
PatchResult PatchFile(const ManifestEntry& entry, const PatchOffer& offer, uint64_t doneBytes,
                      uint64_t totalBytes, std::string& error);

// Copies source (an installed file this run found to hold entry's digest, or a file the manifest
// no longer names that may hold it) into entry's ".part", checking the bytes as they pass, and
// installs it. WholeFile, with the reason and nothing logged, when source cannot be read or holds
// other bytes; the ".part" is then gone.
PatchResult CopyLocalFile(const ManifestEntry& entry, const std::wstring& source, uint64_t doneBytes,
                          uint64_t totalBytes, std::string& reason, std::string& error);

// Whether target or its ".part" is a file a patch could take blocks from.
bool HasPatchSeed(const std::wstring& target);

// Whether path names a file (not a folder) that exists.
bool IsLocalFile(const std::wstring& path);
