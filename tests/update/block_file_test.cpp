// Tests of block files: the checksums, the layout, the parser's refusals and the streaming builder.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "update/block_file.h"

namespace {

std::vector<uint8_t> Bytes(const std::string& text) { return {text.begin(), text.end()}; }

std::vector<uint8_t> RandomBytes(size_t size, uint32_t seed) {
    std::mt19937 random(seed);
    std::vector<uint8_t> bytes(size);
    for (uint8_t& byte : bytes) byte = static_cast<uint8_t>(random());
    return bytes;
}

BlockIndex IndexOf(const std::vector<uint8_t>& body, uint32_t blockSize, uint32_t strongBytes) {
    BlockIndexBuilder builder(blockSize, strongBytes);
    builder.Add(body.data(), body.size());
    BlockIndex index = builder.Finish();
    for (int i = 0; i < 32; ++i) index.bodySha256[i] = static_cast<uint8_t>(i * 7);
    return index;
}

void PutLe(std::vector<uint8_t>& file, size_t at, uint64_t value, size_t bytes) {
    for (size_t i = 0; i < bytes; ++i) file[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

}  // namespace

TEST(BlockChecksums, Xxh64MatchesTheReferenceVectors) {
    struct Row {
        std::string text;
        uint64_t hash;
    };
    const Row rows[] = {
        {"", 0xEF46DB3751D8E999ull},
        {"a", 0xD24EC4F1A98C6E5Bull},
        {"abc", 0x44BC2CF5AD770999ull},
        {"Nobody inspects the spammish repetition", 0xFBCEA83C8A378BF1ull},
    };
    for (const Row& row : rows) {
        std::vector<uint8_t> bytes = Bytes(row.text);
        EXPECT_EQ(Xxh64(bytes.data(), bytes.size()), row.hash) << row.text;
    }
    std::vector<uint8_t> abc = Bytes("abc");
    EXPECT_EQ(StrongHash(abc.data(), 3, 4), 0xAD770999ull);
    EXPECT_EQ(StrongHash(abc.data(), 3, 6), 0x2CF5AD770999ull);
    EXPECT_EQ(StrongHash(abc.data(), 3, 8), 0x44BC2CF5AD770999ull);
}

TEST(BlockChecksums, WeakChecksumFollowsTheRollingDefinition) {
    std::vector<uint8_t> bytes = Bytes("\x01\x02\x03");
    // a = 6, b = 3*1 + 2*2 + 1*3 = 10.
    EXPECT_EQ(WeakChecksum(bytes.data(), 3), 6u | (10u << 16));
    EXPECT_EQ(WeakChecksum(bytes.data(), 0), 0u);
    std::vector<uint8_t> big(70000, 0xFF);  // both sums wrap modulo 2^16
    uint64_t a = 0, b = 0;
    for (size_t i = 0; i < big.size(); ++i) {
        a += 0xFF;
        b += (big.size() - i) * 0xFF;
    }
    EXPECT_EQ(WeakChecksum(big.data(), big.size()), (a & 0xFFFF) | ((b & 0xFFFF) << 16));
}

TEST(BlockFileSizes, BlockSizeGrowsOnlyWhereTheCountWouldPassTheLimit) {
    EXPECT_EQ(BlockSizeFor(0), 4096u);
    EXPECT_EQ(BlockSizeFor(kBlockFileMinBody), 4096u);
    EXPECT_EQ(BlockSizeFor(4ull << 30), 4096u);
    EXPECT_EQ(BlockSizeFor((4ull << 30) + 1), 8192u);
    EXPECT_EQ(BlockSizeFor(64ull << 30), 65536u);
    EXPECT_EQ(BlockSizeFor(static_cast<uint64_t>(kMaxBlockSize) * kMaxBlockCount), kMaxBlockSize);
    EXPECT_EQ(BlockSizeFor(static_cast<uint64_t>(kMaxBlockSize) * kMaxBlockCount + 1), 0u);
    EXPECT_EQ(BlockCountFor(5000, 4096), 2u);
    EXPECT_EQ(BlockCountFor(8192, 4096), 2u);
    EXPECT_EQ(BlockFileSizeFor(5000, 4096, 6), 84u);
    // The memory bound: the largest block file the updater accepts stays small for a 32-bit process.
    EXPECT_LE(BlockFileSizeFor(static_cast<uint64_t>(kMaxBlockSize) * kMaxBlockCount, kMaxBlockSize,
                               kMaxStrongBytes),
              13u << 20);
    EXPECT_EQ(BlockSizeFor(4ull << 40), kMaxBlockSize);
}

TEST(BlockFileFormat, SerializesTheDocumentedLayoutAndParsesItBack) {
    std::vector<uint8_t> body = RandomBytes(5000, 1);
    BlockIndex index = IndexOf(body, 4096, 6);
    std::vector<uint8_t> file = SerializeBlockFile(index);
    ASSERT_EQ(file.size(), 84u);
    EXPECT_EQ(std::string(file.begin(), file.begin() + 8), "QBLOCKS\n");
    EXPECT_EQ(file[8], 1);
    EXPECT_EQ(file[13], 0x10);                  // 4096
    EXPECT_EQ(file[16], 6);
    EXPECT_EQ(file[24] | (file[25] << 8), 5000);
    EXPECT_EQ(file[32 + 1], 7);                  // the digest's second byte
    EXPECT_EQ(file[64] | (file[65] << 8) | (file[66] << 16) | (static_cast<uint32_t>(file[67]) << 24),
              WeakChecksum(body.data(), 4096));

    BlockIndex parsed;
    std::string reason;
    ASSERT_TRUE(ParseBlockFile(file.data(), file.size(), parsed, reason)) << reason;
    EXPECT_EQ(parsed.bodySize, 5000u);
    EXPECT_EQ(parsed.blockSize, 4096u);
    EXPECT_EQ(parsed.strongBytes, 6u);
    EXPECT_EQ(parsed.weak, index.weak);
    EXPECT_EQ(parsed.strong, index.strong);
    EXPECT_EQ(std::vector<uint8_t>(parsed.bodySha256, parsed.bodySha256 + 32),
              std::vector<uint8_t>(index.bodySha256, index.bodySha256 + 32));
    // The short last block is summed over its real bytes.
    EXPECT_EQ(BlockLength(parsed, 1), 904u);
    EXPECT_TRUE(BlockIsIntact(parsed, 1, body.data() + 4096, 904));
    EXPECT_FALSE(BlockIsIntact(parsed, 1, body.data() + 4096, 903));
    EXPECT_FALSE(BlockIsIntact(parsed, 0, body.data() + 1, 4096));
    EXPECT_FALSE(BlockIsIntact(parsed, 2, body.data(), 0));
}

TEST(BlockFileFormat, AnEmptyBodyHasAHeaderOnly) {
    BlockIndex index = IndexOf({}, 4096, 8);
    std::vector<uint8_t> file = SerializeBlockFile(index);
    BlockIndex parsed;
    std::string reason;
    ASSERT_TRUE(ParseBlockFile(file.data(), file.size(), parsed, reason)) << reason;
    EXPECT_EQ(file.size(), 64u);
    EXPECT_TRUE(parsed.weak.empty());
}

TEST(BlockFileFormat, RefusesEveryDefectWithItsReason) {
    const std::vector<uint8_t> good = SerializeBlockFile(IndexOf(RandomBytes(10000, 2), 4096, 6));
    struct Row {
        const char* name;
        size_t at;  // where the change goes; SIZE_MAX: resize the file instead
        uint64_t value;
        size_t bytes;
        const char* reason;
    };
    const Row rows[] = {
        {"cut header", SIZE_MAX, 63, 0, "too short"},
        {"empty", SIZE_MAX, 0, 0, "too short"},
        {"magic", 0, 'q', 1, "bad magic"},
        {"version 2", 8, 2, 4, "unknown version"},
        {"block size not a power of two", 12, 4097, 4, "block size out of limits"},
        {"block size zero", 12, 0, 4, "block size out of limits"},
        {"block size below the limit", 12, kMinBlockSize / 2, 4, "block size out of limits"},
        {"block size above the limit", 12, kMaxBlockSize * 2ull, 4, "block size out of limits"},
        {"strong bytes 3", 16, 3, 4, "strong hash size out of limits"},
        {"strong bytes 9", 16, 9, 4, "strong hash size out of limits"},
        {"reserved", 20, 1, 4, "reserved field set"},
        {"body larger than its records", 24, 10000 + 4096, 8, "size mismatch"},
        {"body smaller than its records", 24, 4000, 8, "size mismatch"},
        {"huge block count", 24, 1ull << 62, 8, "too many blocks"},
        {"just past the block limit", 24, kMaxBlockCount * 4096 + 1, 8, "too many blocks"},
        {"one byte missing", SIZE_MAX, 64 + 3 * 10 - 1, 0, "size mismatch"},
        {"one byte extra", SIZE_MAX, 64 + 3 * 10 + 1, 0, "size mismatch"},
    };
    for (const Row& row : rows) {
        std::vector<uint8_t> file = good;
        if (row.at == SIZE_MAX)
            file.resize(row.value);
        else
            PutLe(file, row.at, row.value, row.bytes);
        BlockIndex parsed;
        std::string reason;
        EXPECT_FALSE(ParseBlockFile(file.data(), file.size(), parsed, reason)) << row.name;
        EXPECT_EQ(reason, row.reason) << row.name;
    }
}

TEST(BlockFileBuilder, GivesTheSameIndexForAnySplitOfTheBody) {
    std::vector<uint8_t> body = RandomBytes(3 * 1024 + 517, 3);
    BlockIndex whole = IndexOf(body, 1024, 8);
    ASSERT_EQ(whole.weak.size(), 4u);
    for (size_t piece : {1u, 7u, 1023u, 1024u, 1025u, 4096u}) {
        BlockIndexBuilder builder(1024, 8);
        for (size_t at = 0; at < body.size(); at += piece)
            builder.Add(body.data() + at, std::min(piece, body.size() - at));
        BlockIndex split = builder.Finish();
        EXPECT_EQ(split.bodySize, body.size()) << piece;
        EXPECT_EQ(split.weak, whole.weak) << piece;
        EXPECT_EQ(split.strong, whole.strong) << piece;
    }
    for (size_t k = 0; k < 4; ++k)
        EXPECT_TRUE(BlockIsIntact(whole, k, body.data() + k * 1024, BlockLength(whole, k))) << k;
}
