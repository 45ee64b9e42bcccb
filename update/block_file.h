// Block files: the per-body index of block checksums that lets the updater fetch only changed blocks.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct BlockIndex {
    uint64_t bodySize = 0;
    uint8_t bodySha256[32] = {};
    uint32_t blockSize = 0;
    uint32_t strongBytes = 0;
    std::vector<uint32_t> weak;    // one per block
    std::vector<uint64_t> strong;  // one per block, only the low strongBytes bytes set
};

constexpr size_t kBlockFileHeaderSize = 64;
constexpr uint32_t kBlockFileVersion = 1;

// The publisher's default threshold (written into min=): smaller bodies are fetched whole.
constexpr uint64_t kBlockFileMinBody = 1048576;
// The publisher's choice of strong hash bytes per block: with the weak sum 8 bytes a block, as
// zsync's control file spends, since the index is most of what a small change costs; a false
// match can only fail the file's digest and drop it to the whole download.
constexpr uint32_t kBlockFileStrongBytes = 4;

// What the updater accepts. The count bounds memory: the updater is a 32-bit process and must
// stay under 64 MB for a 4 GiB body (4 KiB blocks), whatever an unsigned block file claims.
constexpr uint32_t kMinBlockSize = 1024;
constexpr uint32_t kMaxBlockSize = 4u << 20;
constexpr uint32_t kMinStrongBytes = 4;
constexpr uint32_t kMaxStrongBytes = 8;
constexpr uint64_t kMaxBlockCount = 1u << 20;

// rsync's rolling checksum over data: a = sum of bytes, b = sum of (L-i)*x_i, each mod 2^16.
uint32_t WeakChecksum(const uint8_t* data, size_t size);
// XXH64 with seed 0.
uint64_t Xxh64(const uint8_t* data, size_t size);
// The low strongBytes bytes of XXH64(data), the rest zero.
uint64_t StrongHash(const uint8_t* data, size_t size, uint32_t strongBytes);

// The publisher's block size for a body: 4 KiB, doubled while the count would pass kMaxBlockCount.
// 0 when no block size within the limits describes the body (it then gets no block file).
uint32_t BlockSizeFor(uint64_t bodySize);

// ceil(bodySize / blockSize); 0 for an empty body or a zero block size.
uint64_t BlockCountFor(uint64_t bodySize, uint32_t blockSize);
// The exact size of a block file describing bodySize in blocks of blockSize with strongBytes each.
uint64_t BlockFileSizeFor(uint64_t bodySize, uint32_t blockSize, uint32_t strongBytes);
// Length of block k (the last one is short); offset of block k is k * blockSize.
uint32_t BlockLength(const BlockIndex& index, uint64_t k);
// True when data (of block k's exact length) has block k's weak checksum and strong hash.
bool BlockIsIntact(const BlockIndex& index, uint64_t k, const uint8_t* data, size_t size);

std::vector<uint8_t> SerializeBlockFile(const BlockIndex& index);

// Parses and checks a block file against the updater's limits; false with an English reason
// ("bad magic", "size mismatch" ...) on any defect; index is then not to be used.
bool ParseBlockFile(const uint8_t* data, size_t size, BlockIndex& index, std::string& reason);

// Makes a block index while a body is read once, in pieces of any size. The caller sets the
// body's SHA-256 into the result itself.
class BlockIndexBuilder {
public:
    BlockIndexBuilder(uint32_t blockSize, uint32_t strongBytes);
    void Add(const uint8_t* data, size_t size);
    BlockIndex Finish();

private:
    void CloseBlock();

    BlockIndex index_;
    std::vector<uint8_t> pending_;  // the current block's bytes so far
};
