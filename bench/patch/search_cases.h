// The block search bench's cases, in plain C++: one seed in memory and three indexes searched in it.
#pragma once
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "update/block_file.h"
#include "update/block_match.h"

namespace search_bench {

// Deterministic bytes (splitmix64), so that every build and both platforms search the same data.
struct Bytes64 {
    uint64_t state;
    uint64_t Next() {
        uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    void Fill(uint8_t* out, size_t size) {
        for (size_t i = 0; i < size; i += 8) {
            const uint64_t word = Next();
            std::memcpy(out + i, &word, std::min<size_t>(8, size - i));
        }
    }
};

struct Case {
    const char* name;
    BlockIndex index;
};

// What a search yields; the digest tells two builds' results apart without keeping them.
struct Result {
    double seconds = 0;
    uint64_t found = 0;
    uint64_t strongBytes = 0;
    uint64_t lookups = 0;
    bool budgetSpent = false;
    uint64_t digest = 0;
};

constexpr size_t kPiece = 1u << 20;

// The seed: size bytes from its own sequence.
inline std::vector<uint8_t> MakeSeed(size_t size) {
    std::vector<uint8_t> seed(size);
    Bytes64{1}.Fill(seed.data(), size);
    return seed;
}

// Three bodies, indexed as the publisher does while they stream past (never held whole, so that
// a 32-bit process holds a seed of 576 MiB, 2^20 filter words at 1 KiB blocks): an unrelated one,
// where every window misses; the seed with one block in a hundred rewritten; the seed with bytes
// inserted at 1 % of its length, so that most blocks lie shifted. Then a hostile index.
inline std::vector<Case> MakeCases(const std::vector<uint8_t>& seed, uint32_t blockSize) {
    std::vector<Case> cases;
    std::vector<uint8_t> piece(kPiece);
    {
        BlockIndexBuilder builder(blockSize, kBlockFileStrongBytes);
        Bytes64 other{2};
        for (size_t at = 0; at < seed.size(); at += kPiece) {
            const size_t size = std::min(kPiece, seed.size() - at);
            other.Fill(piece.data(), size);
            builder.Add(piece.data(), size);
        }
        cases.push_back({"no_match", builder.Finish()});
    }
    {
        BlockIndexBuilder builder(blockSize, kBlockFileStrongBytes);
        Bytes64 other{3};
        std::vector<uint8_t> rewritten(blockSize);
        for (size_t k = 0, at = 0; at < seed.size(); ++k, at += blockSize) {
            const size_t size = std::min<size_t>(blockSize, seed.size() - at);
            if (k % 100 == 37 && size == blockSize) {
                other.Fill(rewritten.data(), size);
                builder.Add(rewritten.data(), size);
            } else {
                builder.Add(seed.data() + at, size);
            }
        }
        cases.push_back({"changed_1pct", builder.Finish()});
    }
    {
        BlockIndexBuilder builder(blockSize, kBlockFileStrongBytes);
        std::vector<uint8_t> inserted(777);
        Bytes64{4}.Fill(inserted.data(), inserted.size());
        const size_t at = seed.size() / 100 + 123;
        builder.Add(seed.data(), at);
        builder.Add(inserted.data(), inserted.size());
        builder.Add(seed.data() + at, seed.size() - at);
        cases.push_back({"shifted", builder.Finish()});
    }
    {
        // A hostile index: weak checksums in groups of 16 that share their low 22 bits, which
        // fill a few words of the search's filter; no block is found.
        BlockIndex index;
        index.blockSize = blockSize;
        index.strongBytes = kBlockFileStrongBytes;
        index.bodySize = seed.size();
        Bytes64 other{5};
        const uint64_t count = BlockCountFor(seed.size(), blockSize);
        for (uint32_t low = 0; index.weak.size() < count;) {
            if (index.weak.size() % 16 == 0) low = static_cast<uint32_t>(other.Next()) & ((1u << 22) - 1);
            index.weak.push_back(low | static_cast<uint32_t>(index.weak.size() % 16) << 22);
            index.strong.push_back(other.Next() & 0xFFFFFFFFu);
        }
        cases.push_back({"crowded", index});
    }
    return cases;
}

// Best of rounds searches of the seed for one case's blocks, timed by cpuSeconds.
inline Result Run(const Case& c, const std::vector<uint8_t>& seed, int rounds, double (*cpuSeconds)()) {
    Result best;
    SeedReader read = [&seed](uint64_t offset, uint8_t* buffer, size_t size, size_t& got) {
        got = offset >= seed.size() ? 0 : std::min<size_t>(size, seed.size() - static_cast<size_t>(offset));
        if (got) std::memcpy(buffer, seed.data() + offset, got);
        return true;
    };
    for (int round = 0; round < rounds; ++round) {
        std::vector<uint64_t> sources(c.index.weak.size(), kBlockNotFound);
        SearchStats stats;
        std::string error;
        const double start = cpuSeconds();
        const bool ok = FindBlocks(c.index, seed.size(), read, sources, stats, error);
        const double took = cpuSeconds() - start;
        if (!ok) std::fprintf(stderr, "%s: %s\n", c.name, error.c_str());
        uint64_t digest = 0xCBF29CE484222325ull;  // FNV-1a over the offsets found
        for (uint64_t source : sources)
            for (int shift = 0; shift < 64; shift += 8) digest = (digest ^ ((source >> shift) & 0xFF)) * 0x100000001B3ull;
        if (round == 0 || took < best.seconds) best.seconds = took;
        best.found = stats.foundBlocks;
        best.strongBytes = stats.strongBytes;
        best.lookups = stats.lookups;
        best.budgetSpent = stats.budgetSpent;
        best.digest = digest;
    }
    return best;
}

// key=value lines for bench/patch/search.sh; MB = 10^6 bytes of seed searched per CPU second.
inline void Print(const Case& c, const Result& r, size_t seedSize) {
    std::printf("%s_mbps=%.1f\n", c.name, static_cast<double>(seedSize) / 1e6 / r.seconds);
    std::printf("%s_found=%llu/%llu strong_bytes=%llu budget_spent=%d digest=%016llx\n", c.name,
                static_cast<unsigned long long>(r.found), static_cast<unsigned long long>(c.index.weak.size()),
                static_cast<unsigned long long>(r.strongBytes), r.budgetSpent ? 1 : 0,
                static_cast<unsigned long long>(r.digest));
    std::printf("%s_lookups=%llu (1 window in %.0f)\n", c.name, static_cast<unsigned long long>(r.lookups),
                r.lookups ? static_cast<double>(seedSize) / static_cast<double>(r.lookups) : 0.0);
}

// Usage shared by both programs: [ROUNDS] [MIB] [BLOCK_SIZE]; 0 on success.
inline int Main(int argc, const long* args, double (*cpuSeconds)()) {
    const int rounds = argc > 0 && args[0] > 0 ? static_cast<int>(args[0]) : 3;
    const size_t mib = argc > 1 && args[1] > 0 ? static_cast<size_t>(args[1]) : 256;
    const long block = argc > 2 ? args[2] : 4096;
    if (mib > 0 && block > 0 && (mib << 20) / static_cast<size_t>(block) > kMaxBlockCount) {
        std::fprintf(stderr, "more than %llu blocks\n", static_cast<unsigned long long>(kMaxBlockCount));
        return 2;
    }
    if (block < static_cast<long>(kMinBlockSize) || block > static_cast<long>(kMaxBlockSize) || mib > 1024) {
        std::fprintf(stderr, "usage: [ROUNDS] [MIB <= 1024] [BLOCK_SIZE %u..%u]\n", kMinBlockSize, kMaxBlockSize);
        return 2;
    }
    const std::vector<uint8_t> seed = MakeSeed(mib << 20);
    const std::vector<Case> cases = MakeCases(seed, static_cast<uint32_t>(block));
    std::printf("seed_mib=%zu block_size=%ld rounds=%d\n", mib, block, rounds);
    for (const Case& c : cases) Print(c, Run(c, seed, rounds, cpuSeconds), seed.size());
    return 0;
}

}  // namespace search_bench
