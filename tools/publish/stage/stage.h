// Staged releases: a second server tree for a growing share of players, chosen per bucket link.
//
// Beside SERVER_DIR (the live tree) lie SERVER_DIR.stage (a complete signed tree, open while
// its serial is above the live one), SERVER_DIR.stage-state (share, salt, bucket order) and
// SERVER_DIR.cohorts: one relative link per split_clients bucket ("00" to "99") to the live or
// the stage tree, plus "live" and "stage" for the edges. nginx-site.conf takes its root from
// those links on every request, so a change needs no reload. Every command holds SERVER_DIR.lock
// and orders its steps so that no player is ever routed from a higher serial to a lower one.
#pragma once
#include "release/publish.h"
#include "stage/stage_files.h"
#include "stage/stage_state.h"

#include <cstdint>
#include <string>
#include <vector>

// The site as it is on disk.
struct SiteState {
    bool livePresent = false;  // a live manifest was read
    uint64_t liveSerial = 0;
    bool stagePresent = false;  // SERVER_DIR.stage holds a readable manifest
    uint64_t stageSerial = 0;
    bool open = false;  // stagePresent and stageSerial above liveSerial
    bool statePresent = false;
    StageState state;
    int linkedToStage = -1;  // buckets whose link names the stage tree; -1 without SERVER_DIR.cohorts
    bool foreignStage = false;  // SERVER_DIR.stage lacks the stage mark: not ours, left alone
};

// Reads the site without changing it. False when a tree or the state cannot be trusted.
bool ReadSite(const std::string& serverDir, SiteState& site, std::string& error);

// Publishes options.releaseDir as the stage for share per cent of the players. The first stage
// fixes the salt (saltGiven, else a random one); a new stage while one is open needs a higher
// serial, keeps the salt and at least the share. Unchanged bodies are hard links into the live
// tree. note gets a line for the user.
bool StageRelease(PublishOptions options, int share, bool saltGiven, uint64_t salt,
                  std::vector<std::string>& problems, PublishReport& report, std::string& note);

// The stage a health gate judged: widen and promote act on exactly it, or on nothing.
struct JudgedStage {
    bool judged = false;  // --health was given: the gate read the logs for the site as it found it
    uint64_t serial = 0;  // the stage it judged; 0: it found none open
    std::string digest;   // ManifestDigest of its manifest.txt
};
// The problem code when the stage under the lock is not the one judged.
constexpr const char* kStageChangedCode = "stage-changed";

// Widens the open stage to share per cent (never narrower); note says how many buckets moved
// and how long the moves took. judged (when given): checked under the site's lock; another stage
// there is refused (error, and changed set) and nothing changes.
bool WidenStage(const std::string& serverDir, int share, std::string& note, std::string& error,
                const JudgedStage* judged = nullptr, bool* changed = nullptr);

// Makes the staged release the live one for everyone and closes the stage: the live tree
// becomes a hard-linked copy of the stage first, then every bucket moves to it.
// The history then keeps at most keep releases (PruneHistory).
// judged and changed as for WidenStage.
bool PromoteStage(const std::string& serverDir, unsigned keep, std::string& note, std::string& error,
                  const JudgedStage* judged = nullptr, bool* changed = nullptr);

// The live publish of a site that may have a stage: refuses the staged serial, gives new bodies
// times past the stage's too, and closes the stage when the new serial is above it. note tells.
bool PublishLive(PublishOptions options, std::vector<std::string>& problems, PublishReport& report,
                 std::string& note);

// The status lines of the site; with address (not empty) one more line naming its bucket and tree.
bool DescribeSite(const std::string& serverDir, const std::string& address, std::string& text, std::string& error);
