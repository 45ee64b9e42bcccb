// The serial rules of a publish against the live tree and the serial memory beside it.
#pragma once
#include "release/publish.h"
#include "tree/serial_memory.h"

#include <string>
#include <vector>

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
