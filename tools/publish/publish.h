// Publishing a release: copy, hash, sign and swap in a complete server tree.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

struct PublishOptions {
    std::string keyPath;
    uint64_t serial = 0;
    std::string releaseDir;
    std::string serverDir;
    bool force = false;  // allows a lower serial than the tree holds, or an unreadable old manifest
};

// One line per listed file, in the manifest's order (sorted by path bytes).
struct PublishedFile {
    std::string path;
    std::string sha256;
    uint64_t size = 0;
};

// The manifest text for serial and files, which must already be sorted: "serial N\n" and one
// "sha256 TAB size TAB path\n" per file.
std::string BuildManifestText(uint64_t serial, const std::vector<PublishedFile>& files);

// Strict command-line number: decimal digits only, no sign, no blanks, at most 2^64 - 1.
bool ParseSerialArgument(const std::string& text, uint64_t& serial);

// Runs the whole publish. On false, problems holds one line per reason and the server tree is
// as it was before. Progress and the summary go to stdout.
bool PublishRelease(const PublishOptions& options, std::vector<std::string>& problems);
