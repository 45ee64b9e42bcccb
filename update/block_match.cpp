// The rolling search for known blocks in a local file, and the ranges that remain to be fetched.
#include "update/block_match.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr size_t kReadChunk = 1u << 20;
constexpr uint32_t kWeakMultiplier = 0x9E3779B1u;
constexpr uint32_t kSecondMultiplier = 0x85EBCA77u;
// A blocked filter of one 32-bit word per bucket: a window whose weak checksum no block has is
// refused with one load and one well-predicted branch (two bits probed one after the other
// mispredicted on one window in sixteen, which cost a third of the speed where nothing matches).
// Its word, picked by one mix, must hold the four bits of a pattern picked by a second mix; about
// 1 window in 430 that no block has gets through to the sorted table (1 in 320 with three bits).
// About 4 MB for 2^20 blocks. An index whose weak checksums crowd a few words can fill them (a
// block file is unsigned), which would let one window in eight through: such an index gets the
// same memory as a plain bit array probed twice, which lets at most one in 256 through.
constexpr uint32_t kMaxBucketBits = 20;  // the word index takes bits 7..26 of the first mix
constexpr uint32_t kPatternBits = 10;    // the pattern takes the top bits of the second mix
constexpr uint32_t kCrowdedShare = 128;  // blocked filters letting more than 1 in 128 through
constexpr uint64_t kStrongBudgetExtra = 64ull << 20;

// The blocks still wanted, sorted so that equal weak checksums, and within them equal strong
// hashes, lie together; identical blocks form one group that one match settles.
struct Lookup {
    uint32_t bits = 8;
    std::vector<uint32_t> order;
    std::vector<uint32_t> bucketStart;  // 2^bits + 1 positions into order
    std::vector<uint32_t> filter;       // 2^bits words: 32 to 64 bits a block past 256 blocks
    uint32_t filterMask = 0;            // 2^bits - 1, or 2^(bits + 5) - 1 bits when crowded
    bool crowded = false;               // the filter is a bit array probed twice
};

// Two multiplicative mixes, one per part of the filter: a shift and xor on top of the second
// refused no more windows and cost three instructions a byte. Bits of one product alone are too
// few for both parts: with 1 KiB blocks, four times as many windows got through.
uint32_t Mixed(uint32_t weak) { return weak * kWeakMultiplier; }
uint32_t SecondMixed(uint32_t weak) { return weak * kSecondMultiplier; }

// 2^kPatternBits words of four distinct bits each, made by a fixed LCG at compile time; a table
// rather than four variable shifts, which would all want the one shift-count register of x86.
struct FilterPatterns {
    uint32_t words[1u << kPatternBits] = {};
};
constexpr FilterPatterns MakeFilterPatterns() {
    FilterPatterns patterns;
    uint32_t state = 20261209;
    for (uint32_t& word : patterns.words) {
        for (int bits = 0; bits < 4;) {
            state = state * 1103515245u + 12345u;
            const uint32_t bit = uint32_t{1} << (state >> 27);
            if (!(word & bit)) {
                word |= bit;
                ++bits;
            }
        }
    }
    return patterns;
}
constexpr FilterPatterns kFilterPatterns = MakeFilterPatterns();

// The word comes from bits 7 up of the first mix, masked to the filter's size: a constant shift
// leaves one more register to the rolling loop on a 32-bit x86.
constexpr uint32_t kFilterShift = 7;
uint32_t FilterWord(uint32_t weak, uint32_t mask) { return (Mixed(weak) >> kFilterShift) & mask; }
uint32_t FilterPattern(uint32_t weak) { return kFilterPatterns.words[SecondMixed(weak) >> (32 - kPatternBits)]; }
bool FilterPasses(const uint32_t* filter, uint32_t mask, uint32_t weak) {
    const uint32_t pattern = FilterPattern(weak);
    return (filter[FilterWord(weak, mask)] & pattern) == pattern;
}

// The crowded index's filter: bits 7 up of each mix, masked to the array's size.
bool BitSet(const uint32_t* filter, uint32_t bit) { return (filter[bit / 32] >> (bit % 32)) & 1; }
bool CrowdedPasses(const uint32_t* filter, uint32_t mask, uint32_t weak) {
    return BitSet(filter, (Mixed(weak) >> kFilterShift) & mask) &&
           BitSet(filter, (SecondMixed(weak) >> kFilterShift) & mask);
}

bool Passes(const Lookup& lookup, uint32_t weak) {
    return lookup.crowded ? CrowdedPasses(lookup.filter.data(), lookup.filterMask, weak)
                          : FilterPasses(lookup.filter.data(), lookup.filterMask, weak);
}

// Whether more than 1 window in kCrowdedShare would pass: a word of c bits holds C(c, 4) of the
// C(32, 4) patterns of four bits.
constexpr uint64_t kFourBitPatterns = 32 * 31 * 30 * 29 / 24;
bool IsCrowded(const std::vector<uint32_t>& filter) {
    uint64_t held = 0;
    for (uint32_t word : filter) {
        uint64_t c = 0;
        for (; word != 0; word &= word - 1) ++c;
        held += c < 4 ? 0 : c * (c - 1) * (c - 2) * (c - 3) / 24;
    }
    return held * kCrowdedShare > uint64_t{filter.size()} * kFourBitPatterns;
}

Lookup BuildLookup(const BlockIndex& index, const std::vector<uint64_t>& sources) {
    Lookup lookup;
    for (size_t k = 0; k < index.weak.size(); ++k)
        if (sources[k] == kBlockNotFound && BlockLength(index, k) == index.blockSize)
            lookup.order.push_back(static_cast<uint32_t>(k));
    while ((1u << lookup.bits) < lookup.order.size() && lookup.bits < kMaxBucketBits) ++lookup.bits;
    const uint32_t shift = 32 - lookup.bits;
    std::sort(lookup.order.begin(), lookup.order.end(), [&](uint32_t x, uint32_t y) {
        const uint32_t bx = Mixed(index.weak[x]) >> shift, by = Mixed(index.weak[y]) >> shift;
        if (bx != by) return bx < by;
        if (index.weak[x] != index.weak[y]) return index.weak[x] < index.weak[y];
        if (index.strong[x] != index.strong[y]) return index.strong[x] < index.strong[y];
        return x < y;
    });
    lookup.bucketStart.assign((size_t{1} << lookup.bits) + 1, 0);
    lookup.filterMask = (uint32_t{1} << lookup.bits) - 1;
    lookup.filter.assign(size_t{lookup.filterMask} + 1, 0);
    for (uint32_t k : lookup.order) {
        const uint32_t weak = index.weak[k];
        ++lookup.bucketStart[(Mixed(weak) >> shift) + 1];
        lookup.filter[FilterWord(weak, lookup.filterMask)] |= FilterPattern(weak);
    }
    for (size_t b = 1; b < lookup.bucketStart.size(); ++b)
        lookup.bucketStart[b] += lookup.bucketStart[b - 1];
    if (IsCrowded(lookup.filter)) {
        lookup.crowded = true;
        lookup.filterMask = (uint32_t{1} << (lookup.bits + 5)) - 1;
        std::fill(lookup.filter.begin(), lookup.filter.end(), 0);
        for (uint32_t k : lookup.order) {
            for (uint32_t mixed : {Mixed(index.weak[k]), SecondMixed(index.weak[k])}) {
                const uint32_t bit = (mixed >> kFilterShift) & lookup.filterMask;
                lookup.filter[bit / 32] |= uint32_t{1} << (bit % 32);
            }
        }
    }
    return lookup;
}

// The rolling scan over one seed, with its buffer and counters.
struct Scan {
    const BlockIndex& index;
    const Lookup& lookup;
    std::vector<uint64_t>& sources;
    SearchStats& stats;
    uint64_t strongBudget;
    const FoundBlock& found;
    bool refused = false;  // found did not take a block

    // Whether the window (blockSize bytes at seed offset) is a wanted block, or one of a group
    // already taken; the group's blocks then take it from here.
    bool TryMatch(uint32_t weak, const uint8_t* window, uint64_t offset) {
        ++stats.lookups;
        const uint32_t bucket = Mixed(weak) >> (32 - lookup.bits);
        auto first = lookup.order.begin() + lookup.bucketStart[bucket];
        auto last = lookup.order.begin() + lookup.bucketStart[bucket + 1];
        const auto& weaks = index.weak;
        auto weakFirst = std::lower_bound(first, last, weak,
                                          [&](uint32_t k, uint32_t w) { return weaks[k] < w; });
        if (weakFirst == last || weaks[*weakFirst] != weak) return false;
        auto weakLast = std::upper_bound(weakFirst, last, weak,
                                         [&](uint32_t w, uint32_t k) { return w < weaks[k]; });
        if (stats.strongBytes >= strongBudget) {
            stats.budgetSpent = true;
            return false;
        }
        stats.strongBytes += index.blockSize;
        const uint64_t strong = StrongHash(window, index.blockSize, index.strongBytes);
        const auto& strongs = index.strong;
        auto group = std::make_pair(
            std::lower_bound(weakFirst, weakLast, strong,
                             [&](uint32_t k, uint64_t s) { return strongs[k] < s; }),
            std::upper_bound(weakFirst, weakLast, strong,
                             [&](uint64_t s, uint32_t k) { return s < strongs[k]; }));
        if (group.first == group.second) return false;
        if (sources[*group.first] == kBlockNotFound) {
            for (auto it = group.first; it != group.second; ++it) {
                sources[*it] = offset;
                if (found && !refused && !found(*it, window, index.blockSize)) refused = true;
            }
            stats.foundBlocks += static_cast<uint64_t>(group.second - group.first);
        }
        return true;
    }
};

// Rolls the window from p (whose sums are a and b) one byte at a time until the filter lets one
// through or p reaches stop; returns where it stopped. Kept small so that a and b stay in registers.
// Not inlined: within the scan, the 32-bit compiler kept the sums in memory and halved the speed.
// kFixedSize, when not 0, is the block size: the far byte's load takes it as a displacement and
// its multiple becomes a shift, which frees the register the 32-bit loop lacked (a third faster).
// kPasses is the filter's test: CrowdedPasses only for a hostile index (with any block size).
template <uint32_t kFixedSize, bool (*kPasses)(const uint32_t*, uint32_t, uint32_t) = FilterPasses>
__attribute__((noinline)) const uint8_t* Roll(const uint8_t* p, const uint8_t* stop,
                                              uint32_t anySize, uint32_t& a, uint32_t& b,
                                              const uint32_t* filter, uint32_t mask, bool& passed) {
    const uint32_t blockSize = kFixedSize != 0 ? kFixedSize : anySize;
    uint32_t rollA = a, rollB = b;
    passed = false;
    while (p < stop) {
        const uint32_t out = p[0];
        const uint32_t in = p[blockSize];
        rollA += in - out;
        rollB += rollA - blockSize * out;
        ++p;
        if (kPasses(filter, mask, (rollA & 0xFFFF) | (rollB << 16))) {
            passed = true;
            break;
        }
    }
    a = rollA;
    b = rollB;
    return p;
}

using RollFunction = const uint8_t* (*)(const uint8_t*, const uint8_t*, uint32_t, uint32_t&, uint32_t&,
                                       const uint32_t*, uint32_t, bool&);

// The loop made for blockSize among the powers of two from kSize to kMaxBlockSize, else the general one.
template <uint32_t kSize>
RollFunction FittedRoll(uint32_t blockSize) {
    if constexpr (kSize > kMaxBlockSize) {
        return &Roll<0>;
    } else {
        return blockSize == kSize ? &Roll<kSize> : FittedRoll<kSize * 2>(blockSize);
    }
}

// The short last block cannot be met by a window of full length: it is looked for where an
// unchanged, shifted or cut body would hold it.
bool FindShortLastBlock(const BlockIndex& index, uint64_t seedSize, const SeedReader& read,
                        std::vector<uint64_t>& sources, SearchStats& stats, std::string& error,
                        const FoundBlock& found) {
    const uint64_t last = index.weak.size() - 1;
    const uint32_t length = BlockLength(index, last);
    if (length == index.blockSize || sources[last] != kBlockNotFound || length > seedSize) return true;
    uint64_t candidates[3] = {last * index.blockSize, seedSize - length, kBlockNotFound};
    if (last > 0 && sources[last - 1] < kBlockInPlace) candidates[2] = sources[last - 1] + index.blockSize;
    std::vector<uint8_t> block(length);
    for (uint64_t offset : candidates) {
        if (offset == kBlockNotFound || offset > seedSize - length) continue;
        size_t got = 0;
        if (!read(offset, block.data(), length, got)) {
            error = "read error";
            return false;
        }
        if (got == length && BlockIsIntact(index, last, block.data(), length)) {
            sources[last] = offset;
            ++stats.foundBlocks;
            if (found && !found(last, block.data(), length)) {
                error = "a found block was not taken";
                return false;
            }
            return true;
        }
    }
    return true;
}

}  // namespace

bool FindBlocks(const BlockIndex& index, uint64_t seedSize, const SeedReader& read,
                std::vector<uint64_t>& sources, SearchStats& stats, std::string& error,
                const FoundBlock& found) {
    return FindBlocks(index, seedSize, read, sources, stats, error, found, RollLoop::Fitted);
}

bool FindBlocks(const BlockIndex& index, uint64_t seedSize, const SeedReader& read,
                std::vector<uint64_t>& sources, SearchStats& stats, std::string& error,
                const FoundBlock& found, RollLoop loop) {
    const uint32_t blockSize = index.blockSize;
    if (index.weak.empty() || blockSize == 0 || sources.size() != index.weak.size()) return true;
    const Lookup lookup = BuildLookup(index, sources);
    Scan scan{index, lookup, sources, stats, 2 * seedSize + kStrongBudgetExtra, found};
    const uint32_t filterMask = lookup.filterMask;
    const uint32_t* filter = lookup.filter.data();
    const RollFunction roll = lookup.crowded             ? &Roll<0, CrowdedPasses>
                              : loop == RollLoop::Fitted ? FittedRoll<kMinBlockSize>(blockSize)
                                                         : &Roll<0>;

    // Room for a window and the bytes it rolls over; a small seed needs no more than itself.
    const size_t wanted = static_cast<size_t>(std::min<uint64_t>(kReadChunk, seedSize + 1));
    std::vector<uint8_t> buffer(std::max<size_t>(wanted, 2 * size_t{blockSize}));
    uint64_t bufferOffset = 0;  // seed offset of buffer[0]
    size_t begin = 0;           // window start in buffer
    size_t end = 0;             // bytes held
    bool atEnd = false;
    // Moves the window to the front and reads until the buffer is full or the seed ends.
    auto refill = [&]() -> bool {
        if (begin > 0) {
            std::memmove(buffer.data(), buffer.data() + begin, end - begin);
            bufferOffset += begin;
            end -= begin;
            begin = 0;
        }
        while (end < buffer.size() && !atEnd) {
            const uint64_t offset = bufferOffset + end;
            const size_t want = static_cast<size_t>(
                std::min<uint64_t>(buffer.size() - end, offset < seedSize ? seedSize - offset : 0));
            size_t got = 0;
            if (want > 0 && !read(offset, buffer.data() + end, want, got)) return false;
            end += got;
            if (want == 0 || got < want) atEnd = true;
        }
        return true;
    };

    uint32_t a = 0, b = 0;
    bool summed = false;  // a and b hold the window at begin
    bool tested = false;  // the window at begin was looked up
    while (!lookup.order.empty() && !stats.budgetSpent) {
        if (end - begin <= blockSize && !atEnd && !refill()) {
            error = "read error";
            return false;
        }
        if (end - begin < blockSize) break;
        const uint8_t* data = buffer.data();
        if (!summed) {
            const uint32_t weak = WeakChecksum(data + begin, blockSize);
            a = weak & 0xFFFF;
            b = weak >> 16;
            summed = true;
            tested = false;
        }
        for (;;) {
            if (!tested) {
                tested = true;
                const uint32_t weak = (a & 0xFFFF) | (b << 16);
                if (Passes(lookup, weak)) {
                    if (scan.TryMatch(weak, data + begin, bufferOffset + begin)) {
                        if (scan.refused) {
                            error = "a found block was not taken";
                            return false;
                        }
                        begin += blockSize;
                        summed = false;
                        break;
                    }
                    if (stats.budgetSpent) break;
                }
            }
            // The hot path: roll until the filter lets a window through or the buffer holds no
            // next byte.
            bool passed = false;
            const uint8_t* p = roll(data + begin, data + end - blockSize, blockSize, a, b, filter,
                                    filterMask, passed);
            begin = static_cast<size_t>(p - data);
            tested = !passed;  // a window the filter refused needs no second look
            if (!passed) break;
        }
        if (summed && tested && begin + blockSize >= end && atEnd) break;
    }
    return FindShortLastBlock(index, seedSize, read, sources, stats, error, found);
}

std::vector<ByteRange> MissingRanges(const BlockIndex& index, const std::vector<uint64_t>& sources,
                                     uint64_t mergeGap) {
    std::vector<ByteRange> ranges;
    const uint64_t count = std::min<uint64_t>(index.weak.size(), sources.size());
    for (uint64_t k = 0; k < count; ++k) {
        if (sources[k] != kBlockNotFound) continue;
        const uint64_t first = k * index.blockSize;
        const uint64_t last = first + BlockLength(index, k) - 1;
        if (!ranges.empty() && first - ranges.back().last - 1 <= mergeGap)
            ranges.back().last = last;
        else
            ranges.push_back({first, last});
    }
    return ranges;
}
