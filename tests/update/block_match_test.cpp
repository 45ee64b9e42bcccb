// Tests of the block search: what an old body yields towards a new one, and the ranges left to fetch.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "update/block_file.h"
#include "update/block_match.h"

namespace {

using Body = std::vector<uint8_t>;
constexpr uint32_t kBlock = 1024;

Body RandomBytes(size_t size, uint32_t seed) {
    std::mt19937 random(seed);
    Body bytes(size);
    for (uint8_t& byte : bytes) byte = static_cast<uint8_t>(random());
    return bytes;
}

BlockIndex IndexOf(const Body& body, uint32_t blockSize = kBlock) {
    BlockIndexBuilder builder(blockSize, 6);
    builder.Add(body.data(), body.size());
    return builder.Finish();
}

SeedReader ReaderOf(const Body& seed, uint64_t* reads = nullptr) {
    return [&seed, reads](uint64_t offset, uint8_t* buffer, size_t size, size_t& got) {
        if (reads) ++*reads;
        got = offset >= seed.size() ? 0 : std::min<size_t>(size, seed.size() - offset);
        std::copy(seed.begin() + offset, seed.begin() + offset + got, buffer);
        return true;
    };
}

struct Outcome {
    std::vector<uint64_t> sources;
    SearchStats stats;
    uint64_t fetchBytes = 0;
    size_t ranges = 0;
    Body rebuilt;
};

// Searches old for new's blocks, then rebuilds new from the found blocks and the missing ranges
// taken from new itself, as the updater does from the server.
Outcome Patch(const Body& old, const Body& fresh, const BlockIndex& index, RollLoop loop = RollLoop::Fitted) {
    Outcome outcome;
    outcome.sources.assign(index.weak.size(), kBlockNotFound);
    outcome.rebuilt.assign(index.bodySize, 0);
    std::string error;
    // The blocks handed over while the search runs are what the updater writes.
    std::vector<bool> taken(index.weak.size(), false);
    FoundBlock found = [&](uint64_t k, const uint8_t* data, uint32_t length) {
        EXPECT_FALSE(taken[k]) << k;
        EXPECT_EQ(length, BlockLength(index, k));
        taken[k] = true;
        std::copy(data, data + length, outcome.rebuilt.begin() + k * index.blockSize);
        return true;
    };
    EXPECT_TRUE(FindBlocks(index, old.size(), ReaderOf(old), outcome.sources, outcome.stats, error, found, loop));
    for (size_t k = 0; k < outcome.sources.size(); ++k) {
        uint64_t from = outcome.sources[k];
        EXPECT_EQ(taken[k], from != kBlockNotFound) << k;
        if (from == kBlockNotFound) continue;
        uint32_t length = BlockLength(index, k);
        EXPECT_LE(from + length, old.size());
        // Every claimed block really is there.
        EXPECT_TRUE(BlockIsIntact(index, k, old.data() + from, length)) << k;
    }
    for (const ByteRange& range : MissingRanges(index, outcome.sources, kRangeMergeGap)) {
        outcome.fetchBytes += range.last - range.first + 1;
        ++outcome.ranges;
        std::copy(fresh.begin() + range.first, fresh.begin() + range.last + 1,
                  outcome.rebuilt.begin() + range.first);
    }
    return outcome;
}

Body With(Body body, size_t at, const Body& inserted, size_t removed = 0) {
    body.erase(body.begin() + at, body.begin() + at + removed);
    body.insert(body.begin() + at, inserted.begin(), inserted.end());
    return body;
}

}  // namespace

TEST(BlockSearch, FetchesLittleMoreThanWhatChanged) {
    const Body old = RandomBytes(300 * kBlock + 123, 1);
    Body scattered = old;
    for (size_t at : {5000u, 90000u, 200001u}) scattered[at] ^= 0x5A;
    Body duplicated = old;
    std::copy(old.begin(), old.begin() + 10 * kBlock, duplicated.begin() + 100 * kBlock);
    struct Row {
        const char* name;
        Body fresh;
        uint64_t maxFetch;
        uint64_t minFetch;
    };
    const Row rows[] = {
        {"unchanged", old, 0, 0},
        {"scattered bytes", scattered, 3 * kBlock, 3 * kBlock},
        {"insertion shifting everything", With(old, 777, RandomBytes(50, 2)), 2 * kBlock, 1},
        {"deletion shifting everything", With(old, 40000, {}, 999), 2 * kBlock, 1},
        {"append", With(old, old.size(), RandomBytes(5000, 3)), 7 * kBlock, 5000},
        {"truncation at a block edge", Body(old.begin(), old.begin() + 100 * kBlock), 0, 0},
        {"truncation inside a block", Body(old.begin(), old.begin() + 100 * kBlock + 17), kBlock, 0},
        {"a block range duplicated", duplicated, 0, 0},
        {"rewrite", RandomBytes(old.size(), 4), old.size(), old.size()},
        {"shorter than a block", Body(old.begin() + 10, old.begin() + 500), 500, 0},
        {"empty", Body(), 0, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        BlockIndex index = IndexOf(row.fresh);
        Outcome outcome = Patch(old, row.fresh, index);
        EXPECT_EQ(outcome.rebuilt, row.fresh);
        EXPECT_LE(outcome.fetchBytes, row.maxFetch);
        EXPECT_GE(outcome.fetchBytes, row.minFetch);
        EXPECT_LE(outcome.fetchBytes, row.fresh.size());
        EXPECT_FALSE(outcome.stats.budgetSpent);
    }
}

// The loop made for a power-of-two block size and the one for any size find the same blocks at
// the same offsets, with the same work; sizes that are no power of two take the general loop both times.
TEST(BlockSearch, TheFittedAndTheGeneralLoopFindTheSame) {
    struct Row {
        const char* name;
        uint32_t blockSize;
        Body old;
        Body fresh;
        bool wrongStrong = false;  // a lying index: every weak hit costs a strong hash, until the budget ends
    };
    const Body base = RandomBytes(600 * 1024 + 77, 11);
    Body scattered = base;
    for (size_t at = 3000; at < scattered.size(); at += 70001) scattered[at] ^= 0x33;
    const Body large = RandomBytes((5u << 20) + 333, 14);
    const Body runs(300 * 1024, 0x20);  // every window alike: the filter lets each one through
    const Row rows[] = {
        {"1 KiB, shifted", 1024, base, With(base, 5000, RandomBytes(333, 12))},
        {"4 KiB, scattered bytes", 4096, base, scattered},
        {"4 KiB, cut and shifted back", 4096, base, With(base, 1, {}, 4097)},
        {"64 KiB, whose multiple vanishes from b", 65536, base, With(base, 70000, RandomBytes(9, 13))},
        {"4 MiB, cut at the front", 4u << 20, large, With(large, 0, {}, 777)},
        {"1536 bytes, no power of two", 1536, base, With(base, 100, RandomBytes(1000, 15))},
        {"4 KiB, rewrite", 4096, base, RandomBytes(base.size(), 16)},
        {"4 KiB, a seed of one repeated byte", 4096, runs, With(runs, 8192, RandomBytes(4096, 17))},
        {"4 KiB, one repeated byte, strong hashes wrong", 4096, runs, runs, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        BlockIndex index = IndexOf(row.fresh, row.blockSize);
        if (row.wrongStrong)
            for (auto& strong : index.strong) strong ^= 1;
        const Outcome fitted = Patch(row.old, row.fresh, index, RollLoop::Fitted);
        const Outcome general = Patch(row.old, row.fresh, index, RollLoop::General);
        EXPECT_EQ(fitted.rebuilt, row.fresh);
        EXPECT_EQ(fitted.sources, general.sources);
        EXPECT_EQ(fitted.stats.foundBlocks, general.stats.foundBlocks);
        EXPECT_EQ(fitted.stats.strongBytes, general.stats.strongBytes);
        EXPECT_EQ(fitted.stats.budgetSpent, general.stats.budgetSpent);
        EXPECT_EQ(fitted.fetchBytes, general.fetchBytes);
        EXPECT_EQ(fitted.stats.budgetSpent, row.wrongStrong);
    }
}

TEST(BlockSearch, MergesNearbyRangesAndKeepsDistantOnesApart) {
    const Body old = RandomBytes(200 * kBlock, 5);
    Body fresh = old;
    fresh[1 * kBlock] ^= 1;
    fresh[3 * kBlock] ^= 1;   // 1 block between: merged
    fresh[150 * kBlock] ^= 1;  // far away: a range of its own
    BlockIndex index = IndexOf(fresh);
    Outcome outcome = Patch(old, fresh, index);
    EXPECT_EQ(outcome.rebuilt, fresh);
    EXPECT_EQ(outcome.ranges, 2u);
    EXPECT_EQ(outcome.fetchBytes, 4u * kBlock);
    std::vector<ByteRange> ranges = MissingRanges(index, outcome.sources, 0);
    ASSERT_EQ(ranges.size(), 3u);
    EXPECT_EQ(ranges[2].first, 150u * kBlock);
    EXPECT_EQ(ranges[2].last, 151u * kBlock - 1);
}

TEST(BlockSearch, LeavesBlocksAlreadyInPlaceAlone) {
    const Body old = RandomBytes(20 * kBlock, 6);
    BlockIndex index = IndexOf(old);
    std::vector<uint64_t> sources(index.weak.size(), kBlockInPlace);
    sources[7] = kBlockNotFound;
    SearchStats stats;
    std::string error;
    ASSERT_TRUE(FindBlocks(index, old.size(), ReaderOf(old), sources, stats, error));
    EXPECT_EQ(sources[7], 7u * kBlock);
    EXPECT_EQ(sources[6], kBlockInPlace);
    EXPECT_EQ(stats.foundBlocks, 1u);
}

TEST(BlockSearch, ALyingIndexFindsNothingFalseAndCostsBoundedWork) {
    const Body old = RandomBytes(64 * kBlock, 7);
    BlockIndex honest = IndexOf(old);
    struct Row {
        const char* name;
        std::function<void(BlockIndex&)> lie;
        bool budgetSpent;
    };
    const Row rows[] = {
        {"wrong strong hashes", [](BlockIndex& i) { for (auto& s : i.strong) s ^= 1; }, false},
        {"every weak checksum the same, strong wrong",
         [&](BlockIndex& i) {
             for (auto& w : i.weak) w = honest.weak[0];
             for (auto& s : i.strong) s ^= 1;
         },
         false},
        {"weak checksums of every window of a zero seed", [](BlockIndex& i) {
             for (auto& w : i.weak) w = 0;
         }, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        BlockIndex index = honest;
        row.lie(index);
        // A seed of zeros has weak checksum 0 at every offset: each is a weak hit.
        const bool zeros = row.budgetSpent;
        const Body seed = zeros ? Body(256u << 10, 0) : old;
        std::vector<uint64_t> sources(index.weak.size(), kBlockNotFound);
        SearchStats stats;
        std::string error;
        ASSERT_TRUE(FindBlocks(index, seed.size(), ReaderOf(seed), sources, stats, error));
        for (size_t k = 0; k < sources.size(); ++k) EXPECT_EQ(sources[k], kBlockNotFound) << k;
        EXPECT_LE(stats.strongBytes, 2 * seed.size() + (64ull << 20) + kBlock);
        EXPECT_EQ(stats.budgetSpent, row.budgetSpent);
    }
}

// Weak checksums that share their low bits fall into few words of a filter and fill them; however
// the index crowds it, about one window in 128 at most gets through to the table of blocks.
TEST(BlockSearch, AnIndexCrowdingTheFilterLetsFewWindowsThrough) {
    const Body seed = RandomBytes(1u << 20, 21);
    struct Row {
        const char* name;
        uint32_t sharedBits;  // 0: every weak checksum its own
        uint32_t perGroup;
    };
    const Row rows[] = {
        {"16 sharing their low 22 bits", 22, 16},
        {"64 sharing their low 22 bits", 22, 64},
        {"16 sharing their low 28 bits", 28, 16},
        {"none shared", 0, 1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        std::mt19937 random(22);
        BlockIndex index;
        index.blockSize = kBlock;
        index.strongBytes = 6;
        for (uint32_t group = 0; index.weak.size() < 4096; ++group) {
            const uint32_t low = static_cast<uint32_t>(random());
            for (uint32_t i = 0; i < row.perGroup; ++i) {
                index.weak.push_back(row.sharedBits == 0 ? low
                                                         : (low & ((1u << row.sharedBits) - 1)) | (i << row.sharedBits));
                index.strong.push_back(random() & 0xFFFFFFFFFFFFull);
            }
        }
        index.bodySize = uint64_t{index.weak.size()} * kBlock;
        std::vector<uint64_t> general;
        SearchStats generalStats;
        for (RollLoop loop : {RollLoop::Fitted, RollLoop::General}) {
            std::vector<uint64_t> sources(index.weak.size(), kBlockNotFound);
            SearchStats stats;
            std::string error;
            ASSERT_TRUE(FindBlocks(index, seed.size(), ReaderOf(seed), sources, stats, error, nullptr, loop));
            EXPECT_LE(stats.lookups, seed.size() / 128);
            EXPECT_EQ(stats.foundBlocks, 0u);
            if (loop == RollLoop::General) {
                EXPECT_EQ(sources, general);
                EXPECT_EQ(stats.lookups, generalStats.lookups);
            }
            general = sources;
            generalStats = stats;
        }
    }
}

TEST(BlockSearch, ReadErrorOrARefusedBlockStopsTheSearch) {
    const Body old = RandomBytes(10 * kBlock, 8);
    BlockIndex index = IndexOf(old);
    std::vector<uint64_t> sources(index.weak.size(), kBlockNotFound);
    SearchStats stats;
    std::string error;
    SeedReader failing = [](uint64_t, uint8_t*, size_t, size_t& got) {
        got = 0;
        return false;
    };
    EXPECT_FALSE(FindBlocks(index, old.size(), failing, sources, stats, error));
    EXPECT_EQ(error, "read error");

    // A block the caller cannot take (its write failed) stops the search at once.
    int offered = 0;
    FoundBlock refusing = [&](uint64_t, const uint8_t*, uint32_t) { return ++offered > 2; };
    sources.assign(index.weak.size(), kBlockNotFound);
    EXPECT_FALSE(FindBlocks(index, old.size(), ReaderOf(old), sources, stats, error, refusing));
    EXPECT_EQ(error, "a found block was not taken");
    EXPECT_EQ(offered, 1);
}
