// The releases a log can name: every kept tree's manifest, found by the validator nginx sent for it.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

constexpr int kMaxReleases = 64;  // one bit each in a player's record
constexpr uint64_t kNotListed = UINT64_MAX;

struct IndexedRelease {
    uint64_t serial = 0;
    std::string etag;    // "6756b2c0-1a2" as nginx makes it: mtime and size in hex
    int64_t madeMs = 0;  // when it was published or staged
    std::string digest;  // ManifestDigest of its manifest.txt, as the history names it
    bool live = false;
    bool staged = false;
    std::vector<uint64_t> sizeById;    // by path id: the listed size, kNotListed when not listed
    std::vector<uint64_t> digestById;  // by path id: the digest's first 64 bits, enough to tell a change
    // The block files' opt-in of the serial line ("serial 42 blocks=patch min=1048576"): the
    // folder of /DIR/<sha256> and /DIR/<sha256>.blocks, "" without one.
    std::string blocksDir;
    uint64_t blocksMin = 0;
    std::unordered_multimap<uint64_t, uint32_t> idsByDigest;  // digest head to its listed paths (opted in only)
};

struct ReleaseIndex {
    std::vector<IndexedRelease> releases;  // oldest first, at most kMaxReleases
    std::unordered_map<std::string, int> byEtag;
    std::unordered_map<std::string, uint32_t> pathIds;  // "data/a.pak" (manifest form)
    std::vector<std::string> paths;                     // by id
    int liveIndex = -1, stageIndex = -1;
    int stageShare = 0;                              // the stage's target share in per cent (0 without a stage)
    std::vector<std::vector<int32_t>> changedCount;  // [from][to]: files a player on from fetches; -1 not yet
    std::vector<std::vector<int32_t>> fetchCount;    // [from][to]: of those, the ones not copied locally; -1 not yet
};

// The blocks= and min= of a serial line's marker; false (no opt-in) when either is missing or malformed.
bool ParseBlocksMarker(std::string_view serialLine, std::string& dir, uint64_t& min);

// Of the files a player on from needs for to, those it cannot copy from an installed file that
// stays (an updater of a release that opted in copies a moved or duplicated file locally).
int FilesToFetch(ReleaseIndex& index, int from, int to);

// Reads the live tree, the stage and the history of serverDir. False with a message when the
// history cannot be read; trees without a manifest are left out.
bool LoadReleaseIndex(const std::string& serverDir, ReleaseIndex& index, std::string& error);

// The release whose manifest.txt carried etag ("\"6756b2c0-1a2\"", W/ and quotes allowed); -1.
int ReleaseOfEtag(const ReleaseIndex& index, std::string_view etag);

// The number of files a player that holds release from downloads for release to.
int ChangedFiles(ReleaseIndex& index, int from, int to);

// The nginx ETag text of a file with this modification time and size, without quotes.
std::string NginxEtag(int64_t mtimeSeconds, uint64_t size);
