// What a publish would do with each release file: read it afresh, or take the live copy over.
#pragma once
#include "tree/copy_engine.h"
#include "tree/record.h"
#include "update/manifest.h"

#include "core/fs_util.h"

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

// The release folder the walk opened, shared by all its files.
struct ReleaseRoot {
    UniqueFd fd;
    std::string dir;  // as given, for messages
};

struct ReleaseFile {
    std::string path;  // relative, "/"-separated
    FileStamp stamp;   // as the walk saw it
    std::shared_ptr<const ReleaseRoot> folder;  // path is below it
};

// The release file's full name, for messages.
std::string SourceName(const ReleaseFile& file);

// Collects the regular files below dir, sorted by path bytes (the manifest's order). Symbolic
// links and special files become problems. The walk goes from folder descriptor to folder
// descriptor, so no link is followed on the way.
void WalkRelease(const std::string& dir, std::vector<ReleaseFile>& files, std::vector<std::string>& problems);

// ReadHashCopy of a release file, opened below the folder the walk opened, following no symbolic
// link in any segment: a folder swapped for a link after the walk is refused, never followed.
bool ReadHashCopyRelease(const ReleaseFile& file, const std::string& target, std::vector<char>& buffer,
                         std::string& sha256, FileStamp& sourceStamp, FileStamp& targetStamp,
                         std::atomic<uint64_t>* done, std::string& error, BlockMaker* blocks = nullptr);

// One file of the published tree: its manifest line, and what the record beside the tree says of
// it where the record speaks of the same digest and size.
struct LiveFile {
    ManifestEntry entry;
    bool recorded = false;
    int64_t releaseMtimeNs = 0;  // the release file's modification time when it was read
    FileStamp published;         // the published copy's stamp then
};

// The published tree as the next publish sees it: its manifest and the record beside it.
struct LiveTree {
    bool present = false;  // a manifest was found and parsed
    uint64_t serial = 0;
    std::vector<LiveFile> files;  // sorted by path bytes, one per path (a repeated line: the last one)
    int64_t recordStartedNs = 0;  // when the publish that wrote the record began
};

// Fills live.files from manifest entries in any order.
void SetLiveEntries(std::vector<ManifestEntry>&& entries, LiveTree& live);

// The live file at path, or null.
const LiveFile* FindLive(const LiveTree& live, const std::string& path);

// Reads and parses DIR/manifest.txt (at most maxBytes); false with the reason, also when it is
// missing.
bool ReadTreeManifest(const std::string& dir, uint64_t maxBytes, uint64_t& serial,
                      std::vector<ManifestEntry>& entries, std::string& error);

// Reads SERVER_DIR's manifest and record. A missing manifest is an empty tree; an unreadable one
// is false with the reason.
bool ReadLiveTree(const std::string& serverDir, LiveTree& live, std::string& error);

enum class FileAction {
    Copy,     // read the release file (hash and copy)
    Take,     // quick check passed: take the live file over unread
    Compare,  // --checksum: hash the release and the live file, take it over only when both match
};

struct PlannedFile {
    const ReleaseFile* release = nullptr;
    FileAction action = FileAction::Copy;
    const ManifestEntry* live = nullptr;  // the live manifest's entry for this path, if any
    FileStamp liveStamp;                  // Take: what the live file must still carry
};

// Decides per release file. Without checksum a live file is trusted when the release file has the
// size and modification time recorded by the publish that wrote the live copy (and that time was
// not within a second of that publish's start), and the live copy still has the recorded inode,
// size and modification time, and its digest in the live manifest is the recorded one. With
// statLive false the live copy is not looked at here: liveStamp is the recorded stamp, which
// TakeOver checks on the new name, one stat instead of two.
std::vector<PlannedFile> PlanFiles(const std::vector<ReleaseFile>& release, const LiveTree& live,
                                   const std::string& serverDir, bool checksum, bool statLive = true);

// Where the live copy of path lies in SERVER_DIR.
std::string LiveFilePath(const std::string& serverDir, const std::string& path);
