// Times the block search over a seed in memory, by the process's CPU time, under Wine.
// Usage: bench_search.exe [ROUNDS] [MIB] [BLOCK_SIZE]; bench/patch/search.sh drives it.
#include <windows.h>

#include <cwchar>

#include "bench/patch/search_cases.h"

namespace {

// User plus kernel time: the search is one thread, and wall time would count the neighbours' work.
double CpuSeconds() {
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) return 0;
    auto ticks = [](const FILETIME& t) { return (static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime; };
    return static_cast<double>(ticks(kernel) + ticks(user)) / 1e7;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    long args[3] = {};
    for (int i = 1; i < argc && i <= 3; ++i) args[i - 1] = std::wcstol(argv[i], nullptr, 10);
    return search_bench::Main(argc - 1, args, CpuSeconds);
}
