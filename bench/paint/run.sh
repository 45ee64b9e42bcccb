#!/bin/bash
# Paint benchmark under Wine: reference vs shipped painter at 964x474 and 1728x972, and the CPU
# share of the idle failure panel. Usage: bench/paint/run.sh [frames]  (QUILLOR_BUILD_DIR as build.sh)
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${QUILLOR_BUILD_DIR:-$root/build}
cmake --build "$build/win" --target paint_bench >/dev/null
cd "$build/win"
exec ./wine-run paint_bench.exe "$(winepath -w "$root/resources/background.png" 2>/dev/null)" "${1:-60}"
