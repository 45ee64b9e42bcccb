// Times the block search over a seed in memory, by the process's CPU time, natively.
// Usage: bench_search [ROUNDS] [MIB] [BLOCK_SIZE]; bench/patch/search.sh drives it.
#include <time.h>

#include <cstdlib>

#include "bench/patch/search_cases.h"

namespace {

double CpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

}  // namespace

int main(int argc, char** argv) {
    long args[3] = {};
    for (int i = 1; i < argc && i <= 3; ++i) args[i - 1] = std::strtol(argv[i], nullptr, 10);
    return search_bench::Main(argc - 1, args, CpuSeconds);
}
