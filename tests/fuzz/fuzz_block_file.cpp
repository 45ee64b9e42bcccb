// Fuzzes the block-file parser and the block search: what each accepts, finds and leaves to fetch.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "update/block_file.h"
#include "update/block_match.h"

namespace {

using Bytes = std::vector<uint8_t>;

SeedReader ReaderOf(const Bytes& seed) {
    return [&seed](uint64_t offset, uint8_t* buffer, size_t size, size_t& got) {
        FUZZ_REQUIRE(offset <= seed.size());
        got = std::min<size_t>(size, seed.size() - offset);
        if (got) std::memcpy(buffer, seed.data() + offset, got);
        return true;
    };
}

// Whatever the index, a found block really is at its offset, and the found blocks plus the
// missing ranges rebuild the body (when body is the index's true body).
void CheckSearch(const BlockIndex& index, const Bytes& seed, const Bytes* body) {
    std::vector<uint64_t> sources(index.weak.size(), kBlockNotFound);
    SearchStats stats;
    std::string error;
    uint64_t handed = 0;
    FoundBlock take = [&](uint64_t k, const uint8_t* data, uint32_t length) {
        // Handed over once, with the block's own bytes.
        FUZZ_REQUIRE(k < sources.size() && sources[k] != kBlockNotFound);
        FUZZ_REQUIRE(BlockIsIntact(index, k, data, length));
        ++handed;
        return true;
    };
    FUZZ_REQUIRE(FindBlocks(index, seed.size(), ReaderOf(seed), sources, stats, error, take));
    FUZZ_REQUIRE(handed == stats.foundBlocks);
    FUZZ_REQUIRE(stats.strongBytes <= 2 * seed.size() + (64ull << 20) + index.blockSize);
    Bytes rebuilt(body ? body->size() : 0);
    uint64_t found = 0;
    for (size_t k = 0; k < sources.size(); ++k) {
        if (sources[k] == kBlockNotFound) continue;
        ++found;
        const uint32_t length = BlockLength(index, k);
        FUZZ_REQUIRE(sources[k] + length <= seed.size());
        FUZZ_REQUIRE(BlockIsIntact(index, k, seed.data() + sources[k], length));
        if (body) std::memcpy(rebuilt.data() + k * index.blockSize, seed.data() + sources[k], length);
    }
    FUZZ_REQUIRE(found == stats.foundBlocks);
    uint64_t fetched = 0;
    uint64_t next = 0;
    for (const ByteRange& range : MissingRanges(index, sources, kRangeMergeGap)) {
        FUZZ_REQUIRE(range.first >= next && range.first <= range.last && range.last < index.bodySize);
        FUZZ_REQUIRE(range.first % index.blockSize == 0);
        FUZZ_REQUIRE(range.last + 1 == index.bodySize || (range.last + 1) % index.blockSize == 0);
        fetched += range.last - range.first + 1;
        next = range.last + 1;
        if (body) std::memcpy(rebuilt.data() + range.first, body->data() + range.first, range.last - range.first + 1);
    }
    FUZZ_REQUIRE(fetched <= index.bodySize);
    if (body) FUZZ_REQUIRE(rebuilt == *body);
    // The loop for any block size finds exactly what the one made for this size found.
    std::vector<uint64_t> general(index.weak.size(), kBlockNotFound);
    SearchStats generalStats;
    FUZZ_REQUIRE(FindBlocks(index, seed.size(), ReaderOf(seed), general, generalStats, error, nullptr,
                            RollLoop::General));
    FUZZ_REQUIRE(general == sources && generalStats.foundBlocks == stats.foundBlocks);
    FUZZ_REQUIRE(generalStats.strongBytes == stats.strongBytes && generalStats.budgetSpent == stats.budgetSpent);
}

// The parser: accepted files are exactly the documented layout within the limits.
void CheckParser(const uint8_t* data, size_t size) {
    BlockIndex index;
    std::string reason;
    const bool ok = ParseBlockFile(data, size, index, reason);
    FUZZ_REQUIRE(ok == reason.empty());
    if (!ok) return;
    FUZZ_REQUIRE(index.blockSize >= kMinBlockSize && index.blockSize <= kMaxBlockSize);
    FUZZ_REQUIRE((index.blockSize & (index.blockSize - 1)) == 0);
    FUZZ_REQUIRE(index.strongBytes >= kMinStrongBytes && index.strongBytes <= kMaxStrongBytes);
    FUZZ_REQUIRE(index.weak.size() == BlockCountFor(index.bodySize, index.blockSize));
    FUZZ_REQUIRE(index.weak.size() <= kMaxBlockCount && index.strong.size() == index.weak.size());
    FUZZ_REQUIRE(size == BlockFileSizeFor(index.bodySize, index.blockSize, index.strongBytes));
    FUZZ_REQUIRE(SerializeBlockFile(index) == Bytes(data, data + size));
    // A lying index against a seed made of the same bytes.
    if (index.weak.size() <= 4096) CheckSearch(index, Bytes(data, data + size), nullptr);
}

}  // namespace

// Input: one mode byte. Mode 0: the rest is a block file. Otherwise: two bytes of edit position
// and length, then a body; the seed is the body with that edit, searched for the body's blocks.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    if (data[0] % 4 == 0) {
        CheckParser(data + 1, size - 1);
        return 0;
    }
    if (size < 3) return 0;
    const size_t at = data[1] * 16u, length = data[2];
    // Repeated so that a short input still makes bodies of several blocks.
    Bytes body;
    for (size_t round = 0; round < 1 + data[0] / 32u && body.size() < (16u << 10); ++round)
        body.insert(body.end(), data + 3, data + size);
    BlockIndexBuilder builder(kMinBlockSize, 4 + data[0] % 5);
    builder.Add(body.data(), body.size());
    BlockIndex index = builder.Finish();
    Bytes file = SerializeBlockFile(index);
    BlockIndex parsed;
    std::string reason;
    FUZZ_REQUIRE(ParseBlockFile(file.data(), file.size(), parsed, reason));
    FUZZ_REQUIRE(parsed.weak == index.weak && parsed.strong == index.strong);
    Bytes seed = body;
    const size_t from = std::min(at, seed.size());
    switch (data[0] % 4) {
        case 1: seed.insert(seed.begin() + from, length, static_cast<uint8_t>(length)); break;
        case 2: seed.erase(seed.begin() + from, seed.begin() + std::min(seed.size(), from + length)); break;
        default: if (from < seed.size()) seed[from] ^= 0x41; break;
    }
    CheckSearch(parsed, seed, &body);
    // Unchanged, the body finds every one of its blocks in itself.
    std::vector<uint64_t> sources(parsed.weak.size(), kBlockNotFound);
    SearchStats stats;
    FUZZ_REQUIRE(FindBlocks(parsed, body.size(), ReaderOf(body), sources, stats, reason));
    FUZZ_REQUIRE(MissingRanges(parsed, sources, 0).empty());
    return 0;
}
