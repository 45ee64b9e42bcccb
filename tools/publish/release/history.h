// Kept releases beside a site, never served: what a revert brings back without reading a body.
//
//   SERVER_DIR.history/.quillor-history     the mark: only a folder holding it is the publisher's
//   SERVER_DIR.history/S-RRRRRRRRCCCCCCCC/  one release of serial S (the name checked like OwnTempName's)
//       info     serial, time, manifest digest, files, bytes, download, message (HistoryInfoText)
//       order    "N\n": the entry's place in the order entries were made (none in older entries)
//       record   the publish record of its tree, when there was one
//       tree/    its server tree once it is neither live nor staged; the live and the staged
//                tree stay under SERVER_DIR and SERVER_DIR.stage, whose digests name their entries
// An entry is made under the suffix ".pending" before its tree goes live and renamed after; an
// entry to be removed is renamed to ".gone" first. Bodies are hard links shared with the trees.
#pragma once
#include "release/publish.h"

#include <cstdint>
#include <string>
#include <vector>

constexpr unsigned kDefaultKeep = 10;
constexpr size_t kMessageLimit = 200;

struct KeptRelease {
    std::string path;  // the entry folder
    uint64_t serial = 0;
    int64_t madeNs = 0;   // wall-clock time: shown, never used to order (a clock can step back)
    uint64_t order = 0;   // 1, 2, ... in the order the entries were made; 0 in an entry made before it was kept
    std::string digest;  // SHA-256 of its manifest.txt
    uint64_t files = 0;
    uint64_t bytes = 0;
    bool fromKnown = false;  // the live serial it was compared with when it was made
    uint64_t fromSerial = 0;
    bool downloadKnown = false;
    uint64_t download = 0;   // bytes a player on that release (or a new player) downloads for it
    std::string message;
    bool hasTree = false;
    bool live = false;
    bool staged = false;
};

std::string HistoryPathFor(const std::string& serverDir);  // SERVER_DIR.history

// A message to keep: one line of UTF-8 without control characters, at most kMessageLimit bytes.
bool CheckMessage(const std::string& text, std::string& error);

// The entry a swap is about to fill, and the digests the old tree is judged by afterwards.
struct PendingKeep {
    std::string site;
    std::string entry;      // the ".pending" folder, "" when an entry with the digest exists already
    std::string newDigest;  // of the tree going live under slot
    std::string oldDigest;  // of the tree now under slot ("" when none)
    std::string otherDigest;  // of the site's other tree (stage or live; "" when none)
};

// The digest of tree's sealed manifest, for the commands' later readings of the same file.
void NoteManifestDigest(const std::string& tree, const std::string& digest);

// Under the lock, with the new tree sealed: notes the release of manifest that is to go under slot
// (the site's live folder or its stage) in a ".pending" entry, with the record at recordTemp
// linked into it. digest is manifest's ManifestDigest, which the caller has at hand.
bool BeginKeep(const std::string& site, const std::string& slot, const std::vector<uint8_t>& manifest,
               const std::string& digest, const std::string& recordTemp, const std::string& message,
               PendingKeep& pending, std::string& error);

// After the swap: the entry becomes final, and the old tree (now at oldTree) moves into its own
// entry when it has one without a tree, else it is removed. Warns on stderr only.
void FinishKeep(const PendingKeep& pending, const std::string& oldTree);

// A tree leaving the site outside a publish (the promoted live tree's predecessor, a closed
// stage): into its entry, or removed (RetireTree) when it has none or is still served.
bool KeepOrRetireTree(const std::string& site, const std::string& tree, std::string& error);

// Under the lock, once the live tree is recovered: finishes or drops ".pending" entries, removes
// ".gone" ones, moves trees an interrupted swap left beside site or its stage into their entries,
// and makes entries for a live or staged tree without one. False when SERVER_DIR.history is not
// the publisher's.
// recovered: a recovery with the key ran before; then, while the live tree is still missing, a
// kept release's tree left beside site goes into its entry (it would be removed as a leftover).
bool TidyHistory(const std::string& site, std::string& error, bool recovered = false);

// Removes the oldest entries until keep remain; never the live one, the staged one, the one
// before the live one, nor (keepSerial, when given) those of the serial a revert put back, so
// that the revert can be run again. note says what went.
bool PruneHistory(const std::string& site, unsigned keep, std::string& note, std::string& error,
                  const uint64_t* keepSerial = nullptr);

// Pruning renames an entry to ".gone" and leaves its removal to this, called once the command's
// result is out: at 100,000 files a removal takes about as long as the publish that made the
// entry. background: in a child that outlives the command, its standard streams on /dev/null and
// each entry's folder locked (flock) until it is gone, so that the next command leaves it to the
// child; a killed child leaves ".gone" entries, which the next command removes. Otherwise now,
// with warnings on stderr.
void RemoveGoneEntries(bool background);

// Every kept release, newest first (by the order the entries were made, which no clock moves;
// entries from before that order was kept come first, by their time), live and staged marked; a live or staged tree without an
// entry is listed from its manifest.
bool ListHistory(const std::string& site, std::vector<KeptRelease>& releases, std::string& error);

// The newest kept release of serial, and the tree that holds it (its own, the live or the stage).
bool FindKept(const std::string& site, uint64_t serial, KeptRelease& release, std::string& tree, std::string& error);

// The serial line's number, the file lines and their sizes' sum of a manifest the publisher wrote.
void ManifestTotals(const std::vector<uint8_t>& manifest, uint64_t& serial, uint64_t& files, uint64_t& bytes);

// What a player on the release of oldManifest downloads for newManifest (both as the publisher
// writes them, sorted by path): the bytes of every added or changed file. lines, when not null,
// gets "added", "changed" or "removed" with the size and path per difference.
uint64_t DownloadBetween(const std::vector<uint8_t>& newManifest, const std::vector<uint8_t>& oldManifest,
                         std::vector<std::string>* lines);
