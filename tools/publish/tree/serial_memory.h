// The serial memory beside a server folder: its highest serial and manifest.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

struct SerialMemory {
    bool present = false;
    uint64_t serial = 0;
    std::string manifestSha256;  // lower-case hex digest of the manifest.txt published at serial
};

// "SERVER_DIR.publish-serial": beside the tree, so an emptied, lost or restored server folder
// never takes the memory with it, and no web server hands it out.
std::string SerialMemoryPathFor(const std::string& serverDir);

// Reads the memory; a missing file is an absent memory (true), a damaged one false with the reason.
bool ReadSerialMemory(const std::string& serverDir, SerialMemory& memory, std::string& error);

// Replaces the memory atomically and durably (temporary file, fsync, rename, fsync of the folder).
bool WriteSerialMemory(const std::string& serverDir, const SerialMemory& memory, std::string& error);

// The lower-case hex SHA-256 of manifest bytes, as the memory keeps it.
std::string ManifestDigest(const std::vector<uint8_t>& manifest);
