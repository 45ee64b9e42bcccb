// Block files per block size: their bytes per GiB of body and how fast one is built, beside SHA-256.
#include "core/block_maker.h"
#include "core/digest.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

double Seconds(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
    const size_t mib = argc > 1 ? static_cast<size_t>(std::atol(argv[1])) : 1024;
    std::vector<uint8_t> body(mib << 20);
    uint32_t seed = 12345;
    for (uint8_t& byte : body) byte = static_cast<uint8_t>((seed = seed * 1103515245u + 12345u) >> 24);
    const size_t piece = 1 << 20;  // what the publisher's reads hand over
    auto sha = std::chrono::steady_clock::now();
    Sha256 hash;
    for (size_t at = 0; at < body.size(); at += piece) hash.Update(body.data() + at, piece);
    hash.FinishHex();
    const double shaSeconds = Seconds(sha);
    std::printf("%zu MiB in memory, 1 MiB pieces; SHA-256 alone: %.0f MB/s\n", mib, body.size() / shaSeconds / 1e6);
    std::printf("block size  block-file bytes per GiB  share of the body  build rate  build time vs SHA-256\n");
    for (uint32_t blockSize : {2048u, 4096u, 8192u, 16384u}) {
        BlockMaker maker;
        auto start = std::chrono::steady_clock::now();
        StartBlocks(maker, blockSize, kBlockFileStrongBytes);
        for (size_t at = 0; at < body.size(); at += piece) AddBlockBytes(maker, body.data() + at, piece);
        std::vector<uint8_t> file = FinishBlocks(maker, std::string(64, '0'));
        const double seconds = Seconds(start);
        const double perGiB = static_cast<double>(file.size()) * (1024.0 / static_cast<double>(mib));
        std::printf("%5u KiB   %12.0f (%5.2f MiB)   %8.3f %%        %6.0f MB/s  %5.2fx\n", blockSize / 1024, perGiB,
                    perGiB / 1048576.0, 100.0 * file.size() / body.size(), body.size() / seconds / 1e6,
                    seconds / shaSeconds);
    }
    return 0;
}
