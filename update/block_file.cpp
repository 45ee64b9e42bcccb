// Block files: checksums, the binary layout both sides share, and the updater's limits on it.
#include "update/block_file.h"

#include <cstring>
#include <utility>

namespace {

constexpr char kMagic[8] = {'Q', 'B', 'L', 'O', 'C', 'K', 'S', '\n'};
constexpr uint32_t kDefaultBlockSize = 4096;

constexpr uint64_t kPrime1 = 0x9E3779B185EBCA87ull;
constexpr uint64_t kPrime2 = 0xC2B2AE3D27D4EB4Full;
constexpr uint64_t kPrime3 = 0x165667B19E3779F9ull;
constexpr uint64_t kPrime4 = 0x85EBCA77C2B2AE63ull;
constexpr uint64_t kPrime5 = 0x27D4EB2F165667C5ull;

uint64_t RotateLeft(uint64_t value, int bits) { return (value << bits) | (value >> (64 - bits)); }

uint64_t ReadLe(const uint8_t* data, size_t bytes) {
    uint64_t value = 0;
    for (size_t i = 0; i < bytes; ++i) value |= static_cast<uint64_t>(data[i]) << (8 * i);
    return value;
}

void WriteLe(std::vector<uint8_t>& out, uint64_t value, size_t bytes) {
    for (size_t i = 0; i < bytes; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

// The hash's words, loaded whole: every machine this runs on (x86, x86_64) is little-endian, and
// a byte-by-byte load made the publisher's block files cost three times as much.
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the block hash loads little-endian words");
uint64_t Load64(const uint8_t* data) {
    uint64_t word;
    std::memcpy(&word, data, sizeof word);
    return word;
}
uint64_t Load32(const uint8_t* data) {
    uint32_t word;
    std::memcpy(&word, data, sizeof word);
    return word;
}
uint64_t Xxh64Round(uint64_t accumulator, uint64_t input) {
    accumulator += input * kPrime2;
    return RotateLeft(accumulator, 31) * kPrime1;
}

uint64_t Xxh64Merge(uint64_t hash, uint64_t value) {
    hash ^= Xxh64Round(0, value);
    return hash * kPrime1 + kPrime4;
}

bool IsPowerOfTwo(uint32_t value) { return value != 0 && (value & (value - 1)) == 0; }

}  // namespace

// Aligned: the block search sums every window after a found block, and this five-instruction loop
// ran at two thirds of its speed wherever the linker happened to put it across a 64-byte line.
__attribute__((aligned(64))) uint32_t WeakChecksum(const uint8_t* data, size_t size) {
    // Kept in 32 bits: wrapping there keeps both sums right modulo 2^16.
    uint32_t a = 0;
    uint32_t b = 0;
    for (size_t i = 0; i < size; ++i) {
        a += data[i];
        b += a;
    }
    return (a & 0xFFFF) | ((b & 0xFFFF) << 16);
}

uint64_t Xxh64(const uint8_t* data, size_t size) {
    const uint8_t* p = data;
    const uint8_t* end = data + size;
    uint64_t hash;
    if (size >= 32) {
        uint64_t v1 = kPrime1 + kPrime2;
        uint64_t v2 = kPrime2;
        uint64_t v3 = 0;
        uint64_t v4 = 0 - kPrime1;
        for (; end - p >= 32; p += 32) {
            v1 = Xxh64Round(v1, Load64(p));
            v2 = Xxh64Round(v2, Load64(p + 8));
            v3 = Xxh64Round(v3, Load64(p + 16));
            v4 = Xxh64Round(v4, Load64(p + 24));
        }
        hash = RotateLeft(v1, 1) + RotateLeft(v2, 7) + RotateLeft(v3, 12) + RotateLeft(v4, 18);
        hash = Xxh64Merge(hash, v1);
        hash = Xxh64Merge(hash, v2);
        hash = Xxh64Merge(hash, v3);
        hash = Xxh64Merge(hash, v4);
    } else {
        hash = kPrime5;
    }
    hash += static_cast<uint64_t>(size);
    for (; end - p >= 8; p += 8) {
        hash ^= Xxh64Round(0, Load64(p));
        hash = RotateLeft(hash, 27) * kPrime1 + kPrime4;
    }
    if (end - p >= 4) {
        hash ^= Load32(p) * kPrime1;
        hash = RotateLeft(hash, 23) * kPrime2 + kPrime3;
        p += 4;
    }
    for (; p < end; ++p) {
        hash ^= *p * kPrime5;
        hash = RotateLeft(hash, 11) * kPrime1;
    }
    hash ^= hash >> 33;
    hash *= kPrime2;
    hash ^= hash >> 29;
    hash *= kPrime3;
    hash ^= hash >> 32;
    return hash;
}

uint64_t StrongHash(const uint8_t* data, size_t size, uint32_t strongBytes) {
    uint64_t hash = Xxh64(data, size);
    return strongBytes >= 8 ? hash : hash & ((1ull << (8 * strongBytes)) - 1);
}

uint32_t BlockSizeFor(uint64_t bodySize) {
    for (uint32_t blockSize = kDefaultBlockSize; blockSize <= kMaxBlockSize; blockSize *= 2)
        if (BlockCountFor(bodySize, blockSize) <= kMaxBlockCount) return blockSize;
    return 0;
}

uint64_t BlockCountFor(uint64_t bodySize, uint32_t blockSize) {
    if (blockSize == 0) return 0;
    return bodySize / blockSize + (bodySize % blockSize != 0 ? 1 : 0);
}

uint64_t BlockFileSizeFor(uint64_t bodySize, uint32_t blockSize, uint32_t strongBytes) {
    return kBlockFileHeaderSize + BlockCountFor(bodySize, blockSize) * (4 + strongBytes);
}

uint32_t BlockLength(const BlockIndex& index, uint64_t k) {
    uint64_t start = k * index.blockSize;
    if (start >= index.bodySize) return 0;
    uint64_t rest = index.bodySize - start;
    return rest < index.blockSize ? static_cast<uint32_t>(rest) : index.blockSize;
}

bool BlockIsIntact(const BlockIndex& index, uint64_t k, const uint8_t* data, size_t size) {
    if (k >= index.weak.size() || k >= index.strong.size() || size != BlockLength(index, k))
        return false;
    return WeakChecksum(data, size) == index.weak[k] &&
           StrongHash(data, size, index.strongBytes) == index.strong[k];
}

std::vector<uint8_t> SerializeBlockFile(const BlockIndex& index) {
    std::vector<uint8_t> out;
    out.reserve(kBlockFileHeaderSize + index.weak.size() * (4 + index.strongBytes));
    out.insert(out.end(), kMagic, kMagic + sizeof kMagic);
    WriteLe(out, kBlockFileVersion, 4);
    WriteLe(out, index.blockSize, 4);
    WriteLe(out, index.strongBytes, 4);
    WriteLe(out, 0, 4);
    WriteLe(out, index.bodySize, 8);
    out.insert(out.end(), index.bodySha256, index.bodySha256 + sizeof index.bodySha256);
    for (size_t k = 0; k < index.weak.size(); ++k) {
        WriteLe(out, index.weak[k], 4);
        WriteLe(out, k < index.strong.size() ? index.strong[k] : 0, index.strongBytes);
    }
    return out;
}

// Sample (hex; 5000-byte body in 4096-byte blocks, 6 strong bytes, so 2 records and 84 bytes):
//   51 42 4c 4f 43 4b 53 0a  01 00 00 00  00 10 00 00  06 00 00 00  00 00 00 00
//   88 13 00 00 00 00 00 00  <32 bytes: the body's SHA-256>
//   <4 bytes weak, LE><6 bytes strong, LE>   block 0, bytes 0..4095
//   <4 bytes weak, LE><6 bytes strong, LE>   block 1, bytes 4096..4999
bool ParseBlockFile(const uint8_t* data, size_t size, BlockIndex& index, std::string& reason) {
    if (size < kBlockFileHeaderSize) {
        reason = "too short";
        return false;
    }
    if (std::memcmp(data, kMagic, sizeof kMagic) != 0) {
        reason = "bad magic";
        return false;
    }
    if (ReadLe(data + 8, 4) != kBlockFileVersion) {
        reason = "unknown version";
        return false;
    }
    const auto blockSize = static_cast<uint32_t>(ReadLe(data + 12, 4));
    if (!IsPowerOfTwo(blockSize) || blockSize < kMinBlockSize || blockSize > kMaxBlockSize) {
        reason = "block size out of limits";
        return false;
    }
    const auto strongBytes = static_cast<uint32_t>(ReadLe(data + 16, 4));
    if (strongBytes < kMinStrongBytes || strongBytes > kMaxStrongBytes) {
        reason = "strong hash size out of limits";
        return false;
    }
    if (ReadLe(data + 20, 4) != 0) {
        reason = "reserved field set";
        return false;
    }
    const uint64_t bodySize = ReadLe(data + 24, 8);
    const uint64_t count = BlockCountFor(bodySize, blockSize);
    if (count > kMaxBlockCount) {
        reason = "too many blocks";
        return false;
    }
    if (size != BlockFileSizeFor(bodySize, blockSize, strongBytes)) {
        reason = "size mismatch";
        return false;
    }
    index.bodySize = bodySize;
    std::memcpy(index.bodySha256, data + 32, sizeof index.bodySha256);
    index.blockSize = blockSize;
    index.strongBytes = strongBytes;
    index.weak.assign(static_cast<size_t>(count), 0);
    index.strong.assign(static_cast<size_t>(count), 0);
    const uint8_t* record = data + kBlockFileHeaderSize;
    for (size_t k = 0; k < count; ++k, record += 4 + strongBytes) {
        index.weak[k] = static_cast<uint32_t>(ReadLe(record, 4));
        index.strong[k] = ReadLe(record + 4, strongBytes);
    }
    return true;
}

BlockIndexBuilder::BlockIndexBuilder(uint32_t blockSize, uint32_t strongBytes) {
    index_.blockSize = blockSize;
    index_.strongBytes = strongBytes;
    pending_.reserve(blockSize);
}

void BlockIndexBuilder::CloseBlock() {
    index_.weak.push_back(WeakChecksum(pending_.data(), pending_.size()));
    index_.strong.push_back(StrongHash(pending_.data(), pending_.size(), index_.strongBytes));
    pending_.clear();
}

void BlockIndexBuilder::Add(const uint8_t* data, size_t size) {
    index_.bodySize += size;
    if (index_.blockSize == 0) return;  // no block size fits the body: it gets no block file
    while (size > 0) {
        // Whole blocks straight from the caller's buffer when nothing is pending.
        if (pending_.empty() && size >= index_.blockSize) {
            index_.weak.push_back(WeakChecksum(data, index_.blockSize));
            index_.strong.push_back(StrongHash(data, index_.blockSize, index_.strongBytes));
            data += index_.blockSize;
            size -= index_.blockSize;
            continue;
        }
        size_t take = index_.blockSize - pending_.size();
        if (take > size) take = size;
        pending_.insert(pending_.end(), data, data + take);
        data += take;
        size -= take;
        if (pending_.size() == index_.blockSize) CloseBlock();
    }
}

BlockIndex BlockIndexBuilder::Finish() {
    if (!pending_.empty()) CloseBlock();
    return std::move(index_);
}
