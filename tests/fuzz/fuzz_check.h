// The one way a fuzz target reports a broken rule: say which, then abort so libFuzzer keeps the input.
#pragma once
#include <cstdio>
#include <cstdlib>

#define FUZZ_REQUIRE(condition)                                                   \
    do {                                                                          \
        if (!(condition)) {                                                       \
            std::fprintf(stderr, "rule broken at %s:%d: %s\n", __FILE__, __LINE__, \
                         #condition);                                             \
            std::abort();                                                         \
        }                                                                         \
    } while (0)
