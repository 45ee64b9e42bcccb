// What a publish would change for players: added, changed and removed files, and the download.
#pragma once
#include <cstdint>
#include <string>

// Compares RELEASE_DIR with the tree at target (a server folder or http:// base URL) and prints
// one line per difference and a total. Returns 0 when the files are the same, 1 when they
// differ, 2 on trouble (the reason on stderr), as diff does. Over HTTP the manifest's transfer,
// redirects included, ends within timeoutSeconds.
int DiffRelease(const std::string& releaseDir, const std::string& target, bool checksum,
                uint64_t timeoutSeconds = 600);
