// Finding a body's blocks in local files (at any offset), and the byte ranges still to fetch.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "update/block_file.h"

// Per block: where a local file holds it. kBlockNotFound: fetch it; kBlockInPlace: the file
// being written already holds it at its own offset.
constexpr uint64_t kBlockNotFound = UINT64_MAX;
constexpr uint64_t kBlockInPlace = UINT64_MAX - 1;

// Reads up to size bytes of a local file at offset into buffer; got < size only at its end.
// False on a read error.
using SeedReader = std::function<bool(uint64_t offset, uint8_t* buffer, size_t size, size_t& got)>;

struct SearchStats {
    uint64_t foundBlocks = 0;     // blocks newly found by this search
    uint64_t strongBytes = 0;     // bytes hashed on weak hits
    uint64_t lookups = 0;         // windows the filter let through to the table of blocks
    bool budgetSpent = false;     // the search stopped early: too many weak hits that were false
};

// Takes block k's bytes the moment the search finds them (so they can be written while the
// search goes on); false stops the search.
using FoundBlock = std::function<bool(uint64_t k, const uint8_t* data, uint32_t length)>;

// Searches the seed (seedSize bytes) for every block whose entry in sources is kBlockNotFound,
// at any byte offset: rolling weak checksum, then strong hash. Found blocks get their offset in
// the seed, and go to found when given. Work is bounded whatever the index claims: strong
// hashing stops at about twice the seed plus 64 MiB. Memory: about 16 bytes per block besides
// the index. sources must hold one entry per block. False (with an English reason) only when
// the reader fails or found refuses a block.
bool FindBlocks(const BlockIndex& index, uint64_t seedSize, const SeedReader& read,
                std::vector<uint64_t>& sources, SearchStats& stats, std::string& error,
                const FoundBlock& found = nullptr);

// The rolling loop a search runs: Fitted, the one made for the index's block size where there is
// one (every power of two within the limits), else General; General, the one for any size. Both
// find exactly the same; FindBlocks above takes Fitted, the tests compare the two.
enum class RollLoop { Fitted, General };
bool FindBlocks(const BlockIndex& index, uint64_t seedSize, const SeedReader& read,
                std::vector<uint64_t>& sources, SearchStats& stats, std::string& error,
                const FoundBlock& found, RollLoop loop);

struct ByteRange {
    uint64_t first = 0;  // inclusive, as in "Range: bytes=first-last"
    uint64_t last = 0;
};

// The ranges that cover every kBlockNotFound block, whole blocks only, ascending; two runs are
// merged when at most mergeGap bytes of found blocks lie between them (one request instead of
// two). The ranges never overlap, so together they are at most the body's size.
std::vector<ByteRange> MissingRanges(const BlockIndex& index, const std::vector<uint64_t>& sources,
                                     uint64_t mergeGap);

// The gap the updater merges across: below a round trip's worth of bytes on a slow link.
constexpr uint64_t kRangeMergeGap = 16384;
