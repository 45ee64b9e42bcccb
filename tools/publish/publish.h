// Publishing a release: copy, hash, sign and swap in a complete server tree.
#pragma once
#include <cstdint>
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
    bool force = false;     // allows a lower serial than the tree holds, or an unreadable old manifest
    bool checksum = false;  // hash every file instead of trusting the quick check
    int signTimeoutSeconds = 300;  // the whole life of signCommand
    std::string lockPath;   // the lock to take; empty: SERVER_DIR.lock (a stage takes its site's)
    // Run with the lock held once the inputs are checked, before anything is written: false
    // (with problems) ends the publish; otherTree may name a tree whose bodies every new body
    // must postdate (body_times.h). afterSwap runs, the lock still held, once the new tree is live.
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

// Runs the whole publish. On false, problems holds one line per reason; report says whether the
// server tree is as it was before. Progress goes to a terminal on stderr, notes to stderr.
bool PublishRelease(const PublishOptions& options, std::vector<std::string>& problems, PublishReport& report);

// SERVER_DIR.lock: one lock for every change of a site, its live tree and its stage.
std::string LockPathFor(const std::string& serverDir);

// A new empty folder "SERVER_DIR.tmp-XXXXXX" beside serverDir, readable by a web server; "" with
// error when it cannot be made.
std::string MakeFreshDir(const std::string& serverDir, std::string& error);

// Removes what an interrupted publish into serverDir left beside it. Call with the lock held.
void CleanStaleTemps(const std::string& serverDir);

enum class SwapResult { Swapped, Unchanged, Lost };

// Puts fresh under serverDir's name. With the exchange (tryExchange and a file system that has it)
// the name holds the whole old or the whole new tree at every moment; otherwise the old tree is
// moved aside first. oldTree gets where the old tree now lies (to be removed by the caller). Lost:
// neither tree is under the name any more; error says where both are.
SwapResult SwapIn(const std::string& fresh, const std::string& serverDir, bool tryExchange,
                  std::string& oldTree, std::string& error);
