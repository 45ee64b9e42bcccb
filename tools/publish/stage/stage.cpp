// Staged releases: a second server tree for a growing share of players, chosen per bucket link.
#include "stage/stage.h"

#include "core/fs_util.h"
#include "core/output.h"
#include "release/history.h"
#include "release/serial_rules.h"
#include "stage/cohort.h"
#include "stage/stage_files.h"
#include "tree/plan.h"
#include "tree/record.h"
#include "tree/serial_memory.h"
#include "tree/tree_swap.h"
#include "update/http.h"
#include "update/manifest.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Where the manifest's first non-blank line (its serial line) ends, its line feed included.
size_t FirstLineEnd(const std::vector<uint8_t>& text) {
    size_t at = 0;
    while (at < text.size()) {
        size_t end = at;
        while (end < text.size() && text[end] != '\n') ++end;
        bool blank = true;
        for (size_t i = at; i < end; ++i) blank = blank && text[i] == '\r';
        at = end < text.size() ? end + 1 : end;
        if (!blank) return at;
    }
    return at;
}

// present false: no such folder. False when the folder is there but its manifest cannot be
// read, so that nobody routes players by a guess.
bool ReadTreeSerial(const std::string& dir, bool& present, uint64_t& serial, std::string& error) {
    present = false;
    struct stat st;
    bool there = false;
    if (!LstatIfThere(dir, there, st, error)) return false;
    if (!there) return true;
    // Only the serial line is parsed: the whole manifest twice per command was a seventh of a
    // re-publish at 100,000 files. The trees are our own, checked when they were made.
    std::vector<uint8_t> text;
    std::vector<ManifestEntry> none;
    bool read = ReadWholeFile(JoinPath(dir, "manifest.txt"), kManifestLimit, text, error);
    if (read) text.resize(FirstLineEnd(text));
    if (!read || !ParseManifest(text, serial, none, error)) {
        error = dir + ": its manifest cannot be read (" + error + ")";
        return false;
    }
    present = true;
    return true;
}

// A site nothing was ever published to: a refusal then must not leave a lock or links behind.
bool NeverPublished(const std::string& serverDir) {
    return !PathExists(serverDir) && !PathExists(SerialMemoryPathFor(serverDir)) &&
           !PathExists(CohortsPathFor(serverDir)) && !PathExists(StageTreePathFor(serverDir));
}

std::string ForeignStageText(const std::string& serverDir) {
    return StageTreePathFor(serverDir) + " was not made by quillor-publish as the stage of " + serverDir +
           " (it lacks the mark " + kStageMarkName + "); it is left as it is: move it away to stage here";
}

// What an interrupted command left (call with the lock held): a tree a swap had set aside comes
// back, trees an interrupted swap left go into the history, then the own temporary trees,
// records, serial memories and state files go.
bool CleanUp(const std::string& serverDir, std::string& error) {
    bool foreign = false;
    if (!IsForeignStage(serverDir, foreign, error)) return false;
    for (const std::string& tree : {serverDir, StageTreePathFor(serverDir)}) {
        if (foreign && tree != serverDir) continue;  // another site's tree and leftovers
        std::string note;
        if (!RecoverServerDir(tree, nullptr, note, error)) return false;
        if (!note.empty()) std::fprintf(stderr, "%s\n", note.c_str());
    }
    if (!TidyHistory(serverDir, error)) return false;
    for (const std::string& tree : {serverDir, StageTreePathFor(serverDir)})
        if (!foreign || tree == serverDir) RemoveLeftovers(tree, true);
    RemoveLeftovers(StageStatePathFor(serverDir));
    RemoveLeftovers(RetiredBaseFor(StageTreePathFor(serverDir)));
    return true;
}

// Brings links, state file and stage tree in line with the trees' serials, also after an
// interrupted command: an open stage gets its share; a closed one is removed once no bucket
// names it any more. site gets the result.
bool Settle(const std::string& serverDir, SiteState& site, int& moved, std::string& error) {
    if (!CleanUp(serverDir, error) || !ReadSite(serverDir, site, error)) return false;
    if (site.open) {
        if (!site.statePresent) {
            error = StageTreePathFor(serverDir) + " holds serial " + std::to_string(site.stageSerial) +
                    " above the live one, but " + StageStatePathFor(serverDir) +
                    " is missing, so the cohort is unknown; promote the stage, or publish a higher serial";
            return false;
        }
        if (!PointCohorts(serverDir, &site.state, moved, error)) return false;
        site.linkedToStage = site.state.share;
        if (site.state.serial == site.stageSerial) return true;
        site.state.serial = site.stageSerial;
        return WriteStageState(serverDir, site.state, error);
    }
    std::string stage = StageTreePathFor(serverDir);
    if (!PointCohorts(serverDir, nullptr, moved, error) ||
        (PathExists(stage) && !site.foreignStage && !KeepOrRetireTree(serverDir, stage, error)))
        return false;
    for (const std::string& path : {RecordPathFor(stage), StageStatePathFor(serverDir)}) {
        if (site.foreignStage && path == RecordPathFor(stage)) continue;
        if (unlink(path.c_str()) != 0 && errno != ENOENT) {
            error = ErrnoText(path);
            return false;
        }
    }
    site.stagePresent = site.statePresent = false;
    site.linkedToStage = 0;
    return true;
}

// Takes the site's lock and settles it; the lock stays with lock.
bool LockAndSettle(const std::string& serverDir, UniqueFd& lock, SiteState& site, std::string& error) {
    int moved = 0;
    return LockExclusive(LockPathFor(serverDir), lock, error) && Settle(serverDir, site, moved, error);
}

std::string NoStageText(const std::string& serverDir) { return "no stage is open in " + serverDir; }

// LockAndSettle, then false unless a stage is open.
bool LockOpenStage(const std::string& serverDir, UniqueFd& lock, SiteState& site, std::string& error) {
    if (NeverPublished(serverDir)) {
        error = "no stage is open in " + serverDir + ": nothing was ever published there";
        return false;
    }
    if (!LockAndSettle(serverDir, lock, site, error)) return false;
    if (site.open) return true;
    error = NoStageText(serverDir);
    return false;
}

// Whether the live tree is the last stage, promoted: the two serial memories name one manifest
// (a promotion notes the stage's), and the live tree has its serial.
bool WasPromoted(const std::string& serverDir, const SiteState& site) {
    SerialMemory live, staged;
    std::string ignored;
    return !site.foreignStage && site.livePresent && ReadSerialMemory(serverDir, live, ignored) &&
           ReadSerialMemory(StageTreePathFor(serverDir), staged, ignored) && live.present && staged.present &&
           live.serial == staged.serial && live.manifestSha256 == staged.manifestSha256 &&
           site.liveSerial == live.serial;
}

std::string ShareOnlyGrows(int share) {
    return "the share only grows: the stage reaches " + std::to_string(share) + " % of the players";
}

uint64_t RandomSalt() {
    uint64_t salt = 0;
    if (getrandom(&salt, sizeof salt, 0) != sizeof salt)
        salt = static_cast<uint64_t>(time(nullptr)) * 0x9e3779b97f4a7c15ull ^ static_cast<uint64_t>(getpid());
    return salt;
}

std::string SerialText(uint64_t serial) { return "serial " + std::to_string(serial); }

bool EndsInStage(const std::string& serverDir) {
    std::string parent, name;
    SplitPath(serverDir, parent, name);
    return name.size() >= 6 && name.compare(name.size() - 6, 6, ".stage") == 0;
}

// Why a stage of serial at share per cent (salt, when given) may not go ahead in the settled
// site; "" when it may.
std::string StageRuleBroken(const std::string& serverDir, const SiteState& site, uint64_t serial, int share,
                            bool saltGiven, uint64_t salt) {
    if (EndsInStage(serverDir))
        return serverDir + ": the origin tells the stage tree by the ending \".stage\"; a live folder with that "
               "ending cannot have a stage";
    if (site.foreignStage) return ForeignStageText(serverDir);
    if (!site.livePresent) return "publish a live release first: players outside the stage get the live tree";
    if (serial <= site.liveSerial) return "a stage must be above the live " + SerialText(site.liveSerial);
    if (!site.open) return std::string();
    // The same serial again is a re-run: it stages the same contents, or the serial memory refuses.
    if (serial < site.stageSerial) return SerialText(site.stageSerial) + " is staged; a new stage needs a higher serial";
    if (share < site.state.share) return ShareOnlyGrows(site.state.share);
    if (saltGiven && salt != site.state.salt)
        return "the salt is fixed while a stage is open (it is " + std::to_string(site.state.salt) + ")";
    return std::string();
}

// A first stage: its state exists before the tree can be open, and the tree starts as a linked
// copy of the live one (with its record), so the publish takes every unchanged body over from it
// (a revert, which takes its bodies from a kept tree, needs no seed).
bool SeedStage(const std::string& serverDir, const StageState& state, bool seedTree, std::string& error) {
    const std::string stage = StageTreePathFor(serverDir);
    std::string seed, recordTemp;
    if (!seedTree) return WriteStageState(serverDir, state, error);
    if (WriteStageState(serverDir, state, error) &&
        !(seed = MakeLinkedCopy(serverDir, stage, error, serverDir)).empty() &&
        CopyRecordBeside(serverDir, stage, recordTemp, error) && PlaceRecord(recordTemp, stage, error)) {
        int rc = renameat2(AT_FDCWD, seed.c_str(), AT_FDCWD, stage.c_str(), RENAME_NOREPLACE);
        // Without the flag a plain rename does, as in a publish: the lock is held and the name is missing.
        if (rc != 0 && (errno == EINVAL || errno == ENOSYS) && !PathExists(stage)) rc = rename(seed.c_str(), stage.c_str());
        if (rc == 0) return true;
        error = ErrnoText(stage);
    }
    std::string ignored;
    if (!seed.empty()) RemoveTree(seed, ignored);
    return false;
}

}  // namespace

bool ReadSite(const std::string& serverDir, SiteState& site, std::string& error) {
    site = SiteState();
    std::string ignored;
    // An unreadable live tree counts as serial 0: an open stage then stays open.
    if (!ReadTreeSerial(serverDir, site.livePresent, site.liveSerial, ignored)) site.liveSerial = 0;
    if (!IsForeignStage(serverDir, site.foreignStage, error) ||
        (!site.foreignStage && !ReadTreeSerial(StageTreePathFor(serverDir), site.stagePresent, site.stageSerial, error)))
        return false;
    site.open = site.stagePresent && site.stageSerial > site.liveSerial;
    std::string stateError;
    if (!ReadStageState(serverDir, site.statePresent, site.state, stateError)) {
        if (site.open) {
            error = stateError;
            return false;
        }
        site.statePresent = false;  // a closed stage's leftover: Settle removes it
    }
    site.linkedToStage = CountStagedLinks(serverDir);
    return true;
}

bool StageRelease(PublishOptions options, int share, bool saltGiven, uint64_t salt,
                  std::vector<std::string>& problems, PublishReport& report, std::string& note) {
    const std::string serverDir = options.serverDir, stage = StageTreePathFor(serverDir);
    SiteState site;
    StageState next;
    bool prepared = false, again = false;
    // Refusals that need no lock leave nothing behind, not even the lock.
    std::string early;
    if (!IsForeignStage(serverDir, site.foreignStage, early)) {
        problems.push_back(early);
        return false;
    }
    early = StageRuleBroken(serverDir, site, 1, share, saltGiven, salt);
    if (!EndsInStage(serverDir) && !site.foreignStage && !NeverPublished(serverDir)) early.clear();
    if (!early.empty()) {
        problems.push_back(early);
        return false;
    }
    options.serverDir = stage;
    options.siteDir = serverDir;
    options.lockPath = LockPathFor(serverDir);
    options.force = false;
    options.markName = kStageMarkName;
    options.markText = StageMarkText(serverDir);
    options.beforeWrite = [&](std::string& otherTree, std::vector<std::string>& found) {
        std::string error;
        int moved = 0;
        bool settled = Settle(serverDir, site, moved, error);
        if (settled) error = StageRuleBroken(serverDir, site, options.serial, share, saltGiven, salt);
        if (!error.empty()) {
            found.push_back(error);
            return false;
        }
        next = site.state;
        if (!site.open) {
            next.salt = saltGiven ? salt : RandomSalt();
            next.order = BucketOrder(next.salt);
        }
        again = site.open && options.serial == site.stageSerial;
        next.serial = options.serial;
        next.share = share;
        next.changed = time(nullptr);
        otherTree = serverDir;
        prepared = !site.open;
        if (site.open || SeedStage(serverDir, next, !options.revert, error)) return true;
        found.push_back(error);
        return false;
    };
    options.afterSwap = [&]() {
        // A wider share only after its tree is in place: a failed stage keeps the old share.
        std::string error;
        int moved = 0;
        if ((site.open && !WriteStageState(serverDir, next, error)) || !Settle(serverDir, site, moved, error))
            std::fprintf(stderr, "warning: %s (the next command of the publisher sets the links)\n", error.c_str());
    };
    bool ok = PublishRelease(options, problems, report);
    if (!ok && prepared) {  // the failed first stage's seed and state go again
        UniqueFd lock;
        std::string error;
        if (!LockAndSettle(serverDir, lock, site, error)) problems.push_back(error);
        return false;
    }
    if (ok)
        note = "staged " + SerialText(options.serial) + " for " + std::to_string(share) + " % of the players (" +
               std::to_string(site.linkedToStage) + " of 100 buckets, salt " + std::to_string(next.salt) + ")" +
               (again ? "; it was staged with these contents already" : "");
    return ok;
}

// Under the lock: whether the open stage is the one a gate judged (its serial and manifest digest).
bool StillJudged(const std::string& serverDir, const SiteState& site, const JudgedStage* judged, std::string& error,
                 bool* changed) {
    if (judged == nullptr) return true;
    std::vector<uint8_t> manifest;
    std::string digest, ignored;
    if (ReadWholeFile(JoinPath(StageTreePathFor(serverDir), "manifest.txt"), kManifestLimit, manifest, ignored))
        digest = ManifestDigest(manifest);
    if (judged->serial == 0 ? !site.open : site.open && site.stageSerial == judged->serial && digest == judged->digest)
        return true;
    if (changed != nullptr) *changed = true;
    error = "the stage changed while its health was judged: the gate judged " +
            (judged->serial == 0 ? std::string("no open stage") : SerialText(judged->serial)) + ", but " + (site.open ? SerialText(site.stageSerial) + (site.stageSerial == judged->serial ? " (other contents)" : "") +
                                        " is staged now"
                                  : std::string("no stage is open now")) +
            "; nothing was changed (run the command again to judge the stage as it is)";
    return false;
}

bool WidenStage(const std::string& serverDir, int share, std::string& note, std::string& error,
                const JudgedStage* judged, bool* changed) {
    UniqueFd lock;
    SiteState site;
    bool open = LockOpenStage(serverDir, lock, site, error);
    if (!open && !(judged != nullptr && error == NoStageText(serverDir))) return false;
    if (!StillJudged(serverDir, site, judged, error, changed) || !open) return false;
    if (share < site.state.share) {
        error = ShareOnlyGrows(site.state.share);
        return false;
    }
    StageState next = site.state;
    next.share = share;
    next.changed = share == site.state.share ? site.state.changed : time(nullptr);
    int moved = 0;
    auto start = std::chrono::steady_clock::now();
    if (!WriteStageState(serverDir, next, error) || !Settle(serverDir, site, moved, error)) return false;
    double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    char text[200];
    if (moved == 0 && share == site.state.share)
        std::snprintf(text, sizeof text, "the stage of %s reaches %d %% of the players already; nothing to do",
                      SerialText(site.stageSerial).c_str(), share);
    else
        std::snprintf(text, sizeof text, "the stage of %s reaches %d %% of the players: %d bucket(s) moved in %.1f ms",
                      SerialText(site.stageSerial).c_str(), share, moved, ms);
    note = text;
    return true;
}

bool PromoteStage(const std::string& serverDir, unsigned keep, std::string& note, std::string& error,
                  const JudgedStage* judged, bool* changed) {
    UniqueFd lock;
    SiteState site;
    if (!LockOpenStage(serverDir, lock, site, error)) {
        if (error != NoStageText(serverDir)) return false;
        if (!StillJudged(serverDir, site, judged, error, changed)) return false;
        error = NoStageText(serverDir);
        if (!WasPromoted(serverDir, site)) return false;
        // Done, maybe by a run killed after its swap that this one settled: a retry ends well.
        note = "promoted " + SerialText(site.liveSerial) + " already: every player gets it, the stage is closed";
        return true;
    }
    if (!StillJudged(serverDir, site, judged, error, changed)) return false;
    // The live tree becomes the staged release first, its serial remembered as a publish's is;
    // the buckets follow in Settle.
    const std::string stage = StageTreePathFor(serverDir);
    std::string recordTemp, oldTree, ignored;
    std::vector<uint8_t> manifest;
    SerialMemory highest;
    PublishOptions promotion;
    promotion.serverDir = serverDir;
    promotion.serial = site.stageSerial;
    std::string fresh = MakeLinkedCopy(stage, serverDir, error);
    if (fresh.empty() || !CopyRecordBeside(stage, serverDir, recordTemp, error) ||
        !ReadSerialMemory(serverDir, highest, error) ||
        !ReadWholeFile(JoinPath(stage, "manifest.txt"), kManifestLimit, manifest, error) ||
        !RememberSerial(promotion, highest, ManifestDigest(manifest), error)) {
        if (!fresh.empty()) RemoveTree(fresh, ignored);
        if (!recordTemp.empty()) unlink(recordTemp.c_str());
        return false;
    }
    SwapResult swapped = SwapIn(fresh, serverDir, true, oldTree, error);
    if (swapped != SwapResult::Swapped) {
        // Unflushed: live, but maybe not after a crash; the buckets stay until the next command.
        if (!recordTemp.empty()) unlink(recordTemp.c_str());
        if (swapped == SwapResult::Unchanged) RemoveOwnTree(fresh, ignored);
        if (swapped == SwapResult::Unflushed)
            error = "the staged release is live, but not known to be on disk: " + error +
                    " (the next stage, widen, promote or publish moves the buckets to it)";
        return false;
    }
    std::string warning;
    if (!PlaceRecord(recordTemp, serverDir, warning) ||
        (!oldTree.empty() && !KeepOrRetireTree(serverDir, oldTree, warning)))
        std::fprintf(stderr, "warning: %s\n", warning.c_str());
    uint64_t promoted = site.stageSerial;
    int moved = 0;
    if (!Settle(serverDir, site, moved, error)) return false;
    note = "promoted " + SerialText(promoted) + ": every player gets it now (" + std::to_string(moved) +
           " link(s) moved), the stage is closed";
    std::string pruned;
    if (!PruneHistory(serverDir, keep, pruned, warning))
        ReportWarning("the history was not pruned: " + warning + " (the next publish or prune prunes it)",
                      "history-not-pruned");
    if (!pruned.empty()) note += "\n" + pruned;
    return true;
}

bool PublishLive(PublishOptions options, std::vector<std::string>& problems, PublishReport& report,
                 std::string& note) {
    SiteState site;
    bool wasOpen = false;
    uint64_t staged = 0;
    std::string parent, name;
    SplitPath(options.serverDir, parent, name);
    if (EndsInStage(options.serverDir) && PathExists(JoinPath(parent, name.substr(0, name.size() - 6)))) {
        problems.push_back(options.serverDir + ": beside " + JoinPath(parent, name.substr(0, name.size() - 6)) +
                           " this is the name of its stage tree, which the origin tells by the ending \".stage\"; "
                           "publish this site under a name without that ending");
        return false;
    }
    options.beforeWrite = [&](std::string& otherTree, std::vector<std::string>& found) {
        std::string error;
        int moved = 0;
        if (!Settle(options.serverDir, site, moved, error)) {
            found.push_back(error);
            return false;
        }
        wasOpen = site.open;
        staged = site.stageSerial;
        if (wasOpen && options.serial == staged) {
            found.push_back(SerialText(staged) + " is staged; promote it (quillor-publish promote), or publish a "
                            "higher serial to close the stage");
            return false;
        }
        if (wasOpen) otherTree = StageTreePathFor(options.serverDir);
        return true;
    };
    // The new live tree is in; only now may buckets leave a stage that it passed.
    options.afterSwap = [&]() {
        std::string error;
        int moved = 0;
        if (!Settle(options.serverDir, site, moved, error))
            note = "warning: " + error + " (the next command of the publisher sets the links)";
        else if (wasOpen && !site.open)
            note = "the stage of " + SerialText(staged) + " is closed: every player gets " +
                   SerialText(options.serial) + " now";
        else if (wasOpen)
            note = "the stage of " + SerialText(staged) + " stays open for " + std::to_string(site.state.share) +
                   " % of the players";
    };
    return PublishRelease(options, problems, report);
}

bool DescribeSite(const std::string& serverDir, const std::string& address, std::string& text, std::string& error) {
    SiteState site;
    std::string shown;
    if (!address.empty() && !AddressText(address, shown)) {
        error = "\"" + address + "\" is not an IPv4 or IPv6 address";
        return false;
    }
    if (!ReadSite(serverDir, site, error)) return false;
    text = "live:  " + (site.livePresent ? SerialText(site.liveSerial) : std::string("none")) + "\n";
    if (site.open && site.statePresent) {
        char when[64] = "";
        time_t changed = static_cast<time_t>(site.state.changed);
        struct tm utc;
        if (gmtime_r(&changed, &utc) != nullptr) strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S UTC", &utc);
        text += "stage: " + SerialText(site.stageSerial) + " for " + std::to_string(site.state.share) +
                " % of the players, salt " + std::to_string(site.state.salt) + ", last change " + when + "\n";
    } else {
        text += "stage: none\n";
    }
    if (site.foreignStage) text += "note:  " + ForeignStageText(serverDir) + "\n";
    int expected = site.open && site.statePresent ? site.state.share : 0;
    if (site.linkedToStage < 0)
        text += "note:  " + CohortsPathFor(serverDir) + " is missing; the next publish makes it\n";
    else if (site.linkedToStage != expected)
        text += "note:  " + std::to_string(site.linkedToStage) +
                " bucket(s) name the stage; the next command of the publisher sets them right\n";
    if (address.empty()) return true;
    int bucket = BucketOfAddressText(shown);
    bool staged = site.open && site.statePresent && BucketStaged(site.state.order, site.state.share, bucket);
    text += shown + ": bucket " + BucketName(bucket) + ", " +
            (staged ? "gets the stage (" + SerialText(site.stageSerial) + ")"
                    : "gets the live release (" + SerialText(site.liveSerial) + ")");
    if (site.open && site.statePresent && !staged)
        text += "; joins the stage at a share of " +
                std::to_string(BucketPosition(site.state.order, bucket) + 1) + " %";
    text += "\n";
    return true;
}
