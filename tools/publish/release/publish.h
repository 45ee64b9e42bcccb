// Publishing a release: copy, hash, sign and swap in a complete server tree.
#pragma once
#include "core/fs_util.h"
#include "core/serial_line.h"
#include "tree/block_files.h"
#include "tree/plan.h"
#include "tree/tree_swap.h"

#include <cstdint>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

struct PublishOptions {
    std::string keyPath;      // a PEM private key, or empty with signCommand
    std::string signCommand;  // "/bin/sh -c" command: manifest on stdin, raw signature on stdout
    std::string pubPath;      // public key every new signature is checked with (needed with signCommand)
    const std::string* passphrase = nullptr;  // for an encrypted keyPath
    uint64_t serial = 0;
    std::string releaseDir;
    std::string serverDir;
    bool force = false;     // allows a serial below the highest published one, the same serial with other
                            // contents, or an unreadable old manifest or serial memory
    bool checksum = false;  // hash every file instead of trusting the quick check
    bool blocks = true;     // patch/ with block files, offered in the serial line (off: --no-blocks)
    unsigned jobs = 0;      // threads that read, hash and copy; 0: one per core
    int signTimeoutSeconds = 300;  // the whole life of signCommand
    std::string lockPath;   // the lock to take; empty: SERVER_DIR.lock (a stage takes its site's)
    std::string otherTree;  // the site's other tree: new bodies postdate its bodies too (body_times.h)
    std::string siteDir;    // the site whose history keeps the new tree; empty: serverDir (a stage names its live folder)
    std::string message;    // kept with the release in the history (history.h)
    unsigned keep = 10;     // releases the history keeps afterwards (PruneHistory)
    bool revert = false;    // the tree is the kept release of revertSerial under serial, not releaseDir
    uint64_t revertSerial = 0;
    std::string markName;   // a file every new tree gets beside its manifest (a stage's mark), or empty
    std::string markText;
    // Run with the lock held once the inputs are checked and the tree recovered, before anything
    // is written: false (with problems) ends the publish; it may set otherTree. afterSwap runs, the
    // lock still held, once the new tree is live and on disk.
    std::function<bool(std::string& otherTree, std::vector<std::string>& problems)> beforeWrite;
    std::function<void()> afterSwap;
};

// What a publish did, and whether the live tree may have been touched when it failed.
struct PublishReport {
    bool serverUnchanged = true;
    uint64_t files = 0;
    uint64_t bytes = 0;
    uint64_t copied = 0;  // files read from the release
    uint64_t taken = 0;   // files taken over from the live tree unread
    PatchCounts patch;    // the patch/ folder of the new tree
    std::string historyNote;  // what pruning removed, or why the history could not be pruned
    bool again = false;       // the serial was published with these very contents before
};

// One line per listed file, in the manifest's order (sorted by path bytes).
struct PublishedFile {
    std::string path;
    std::string sha256;
    uint64_t size = 0;
};

// A server tree being built beside its server folder, under an own temporary name.
struct FreshTree {
    std::string path;
    std::vector<uint8_t> manifest;
    std::vector<uint8_t> signature;  // set by SealFreshTree
    std::string recordText;          // the publish record that belongs to it
    UniqueFd flushFd;                // opened before the first copy, so its syncfs sees every write-back error
    timespec latest{};               // the time manifest.txt and manifest.sig get
    uint64_t files = 0;
    uint64_t bytes = 0;
    uint64_t copied = 0;
    uint64_t taken = 0;
    PatchCounts patch;
};

// The manifest text for serial and files, which must already be sorted: the serial line
// ("serial N", with offer's marker when present) and one "sha256 TAB size TAB path\n" per file.
std::string BuildManifestText(uint64_t serial, const std::vector<PublishedFile>& files,
                              const BlocksOffer& offer = BlocksOffer());

// What the serial line of a tree made with options offers: block files under patch/ for every
// body of at least kBlockFileMinBody bytes, unless options.blocks is off.
BlocksOffer OfferFor(const PublishOptions& options);

// SERVER_DIR.lock: one lock for every change of a site, its live tree and its stage.
std::string LockPathFor(const std::string& serverDir);

// Runs the whole publish. On false, problems holds one line per reason; report says whether the
// server tree is as it was before. Progress goes to a terminal on stderr, notes to stderr.
bool PublishRelease(const PublishOptions& options, std::vector<std::string>& problems, PublishReport& report);

// The steps of a publish, for callers that build other trees under the same lock.
// Builds files/ of a fresh tree beside options.serverDir from release, taking bodies over from the
// tree at fromTree (described by from) where the plan allows, and its unsigned manifest. On
// false the fresh tree is already removed.
bool BuildFreshTree(const PublishOptions& options, const std::vector<ReleaseFile>& release, const std::string& fromTree,
                    const LiveTree& from, int64_t startedNs, FreshTree& fresh, std::string& error);
// The tree of a revert: the kept release of options.revertSerial (FindKept) with a manifest of
// options.serial, its bodies hard links of the kept ones, none read; unsigned like BuildFreshTree's.
// mayLink sees the manifest before anything is made (false, having said why, stops the revert).
bool BuildRevertTree(const PublishOptions& options, const std::function<bool(const std::vector<uint8_t>&)>& mayLink,
                     FreshTree& fresh, std::string& error);
// Signs the manifest (checked with checkKey), writes manifest.txt and manifest.sig and flushes the
// file system, so the tree may go live.
bool SealFreshTree(const PublishOptions& options, EVP_PKEY* signingKey, EVP_PKEY* checkKey, FreshTree& fresh,
                   std::string& error);
