// Block files made from a body's bytes as they pass once, in pieces of any size.
#pragma once
#include "update/block_file.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct BlockMaker {
    std::unique_ptr<BlockIndexBuilder> builder;
    BlockIndex index;  // the result, once EndBlocks ran
};

// Whether a body of size gets a block file under an offer's threshold min: at least min bytes, and a
// block size within the updater's limits describes it.
bool GetsBlockFile(uint64_t size, uint64_t min);

// Starts (or starts again, when a read is repeated) a body of bodySize bytes, in blocks of
// BlockSizeFor(bodySize) with kBlockFileStrongBytes of strong hash, or of the sizes given (a block
// file to check against the body).
void StartBlocks(BlockMaker& maker, uint64_t bodySize);
void StartBlocks(BlockMaker& maker, uint32_t blockSize, uint32_t strongBytes);
void AddBlockBytes(BlockMaker& maker, const uint8_t* data, size_t size);
// Ends the last, short block. maker.index is then whole but for the body's SHA-256.
void EndBlocks(BlockMaker& maker);
// EndBlocks, and the block file of the body whose SHA-256 is sha256 (64 lower-case hex digits).
std::vector<uint8_t> FinishBlocks(BlockMaker& maker, const std::string& sha256);

// 64 hex digits to the 32 raw bytes; false for anything else.
bool HexToSha256(const std::string& hex, uint8_t (&bytes)[32]);
