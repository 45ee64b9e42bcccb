// The state file of a staged release, SERVER_DIR.stage-state: serial, share, salt, bucket order, time.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

struct StageState {
    uint64_t serial = 0;      // the staged serial when the file was written
    int share = 0;            // per cent of the buckets, 1 to 100
    uint64_t salt = 0;        // fixed when the stage is made
    std::vector<int> order;   // BucketOrder(salt), kept so a stage outlives any change of that rule
    int64_t changed = 0;      // seconds since 1970 of the last change of serial or share
};

// Where the state of SERVER_DIR's stage lives, beside the trees (never served).
std::string StageStatePathFor(const std::string& serverDir);

std::string StageStateText(const StageState& state);

// Parses the text of StageStateText; false (with the reason) for anything else, including an
// order that is not a permutation of the buckets or a share outside 1 to 100.
bool ParseStageState(const std::string& text, StageState& state, std::string& error);

// present false: no state file. False on a file that exists but cannot be read or parsed.
bool ReadStageState(const std::string& serverDir, bool& present, StageState& state, std::string& error);

// Writes the state atomically (temp file, flushed, renamed over the old one).
bool WriteStageState(const std::string& serverDir, const StageState& state, std::string& error);
