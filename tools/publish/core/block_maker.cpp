// Block files made from a body's bytes as they pass once, in pieces of any size.
#include "core/block_maker.h"

namespace {

int HexValue(char ch) {
    if (ch >= '0' && ch <= '9') return ch - '0';
    if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
    return -1;
}

}  // namespace

bool GetsBlockFile(uint64_t size, uint64_t min) { return size >= min && BlockSizeFor(size) != 0; }

void StartBlocks(BlockMaker& maker, uint64_t bodySize) {
    StartBlocks(maker, BlockSizeFor(bodySize), kBlockFileStrongBytes);
}

void StartBlocks(BlockMaker& maker, uint32_t blockSize, uint32_t strongBytes) {
    maker.builder = std::make_unique<BlockIndexBuilder>(blockSize, strongBytes);
    maker.index = BlockIndex();
}

void AddBlockBytes(BlockMaker& maker, const uint8_t* data, size_t size) { maker.builder->Add(data, size); }

void EndBlocks(BlockMaker& maker) {
    maker.index = maker.builder->Finish();
    maker.builder.reset();
}

std::vector<uint8_t> FinishBlocks(BlockMaker& maker, const std::string& sha256) {
    EndBlocks(maker);
    HexToSha256(sha256, maker.index.bodySha256);
    return SerializeBlockFile(maker.index);
}

bool HexToSha256(const std::string& hex, uint8_t (&bytes)[32]) {
    if (hex.size() != 64) return false;
    for (size_t i = 0; i < 32; ++i) {
        int high = HexValue(hex[2 * i]), low = HexValue(hex[2 * i + 1]);
        if (high < 0 || low < 0) return false;
        bytes[i] = static_cast<uint8_t>(high * 16 + low);
    }
    return true;
}
