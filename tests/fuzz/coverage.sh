#!/bin/bash
# Shows which lines of the code under test a fuzz target's corpus reaches: builds the target again
# with clang's source coverage into build/host/fuzz-coverage and replays the corpus through it.
# Usage: tests/fuzz/coverage.sh TARGET [CORPUS]; CORPUS defaults to what the last test run left in
# build/host/fuzz/work/TARGET/corpus; QUILLOR_BUILD_DIR replaces build/ as in bench/.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${QUILLOR_BUILD_DIR:-$root/build}/host
target=$1
corpus=${2:-$build/fuzz/work/$target/corpus}
out=$build/fuzz-coverage
cmake -S "$root/tests/fuzz" -B "$out" -G Ninja -DCMAKE_CXX_COMPILER=clang++-14 \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILLOR_ROOT="$root" \
    "-DCMAKE_CXX_FLAGS=-fprofile-instr-generate -fcoverage-mapping" >/dev/null
cmake --build "$out" --target "fuzz_$target" >/dev/null
rm -f "$out/$target.profraw"
LLVM_PROFILE_FILE="$out/$target.profraw" "$out/fuzz_$target" -runs=0 "$corpus" >"$out/$target.log" 2>&1
llvm-profdata-14 merge -sparse "$out/$target.profraw" -o "$out/$target.profdata"
llvm-cov-14 report "$out/fuzz_$target" -instr-profile="$out/$target.profdata" \
    -ignore-filename-regex='tests/'
