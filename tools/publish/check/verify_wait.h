// Checking a server again and again until it serves one release consistently (after a publish).
#pragma once
#include <cstdint>
#include <string>
#include <vector>

struct VerifyWait {
    bool expectSerial = false;  // false: any serial will do
    uint64_t serial = 0;
    uint64_t seconds = 0;       // 0: one check only
    uint64_t transferSeconds = 600;  // the longest one transfer may take
};

// Runs VerifyServer until target serves a valid signature, every file matching and (if asked)
// the expected serial, or until the time is up; each failed round prints one line to stdout.
// problems and summary are those of the last round.
bool VerifyUntil(const std::string& keyPath, const std::string& target, const VerifyWait& wait,
                 std::vector<std::string>& problems, std::string& summary);
