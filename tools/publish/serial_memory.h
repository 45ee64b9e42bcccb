// The serial memory beside a server folder (its highest serial and manifest) and the serial rules it keeps.
#pragma once
#include "publish.h"

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

// The serial rules of a publish into options.serverDir, before anything is built: reads the live
// tree (live) and the highest serial published there (highest; a live tree above the memory, or
// one made before the memory existed, seeds it at once). False with problems for a serial below
// it, or an unreadable manifest or memory, unless options.force.
bool CheckSerial(const PublishOptions& options, LiveTree& live, SerialMemory& highest,
                 std::vector<std::string>& problems);

// Once the manifest is known: the highest serial again is only the same publish again (the same
// manifest digest), unless options.force.
bool CheckSameSerialContents(const PublishOptions& options, const SerialMemory& highest, const std::string& digest,
                             std::vector<std::string>& problems);

// Notes options.serial and digest before the tree goes live, when they are above what highest holds.
bool RememberSerial(const PublishOptions& options, const SerialMemory& highest, const std::string& digest,
                    std::string& error);
