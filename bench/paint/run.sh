#!/bin/bash
# Paint benchmark under Wine: reference vs shipped painter at 964x474 and 1728x972, and the CPU
# share of the idle failure panel. Usage: bench/paint/run.sh [frames]  (QUILLOR_BUILD_DIR as build.sh)
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${QUILLOR_BUILD_DIR:-$root/build}
source "$root/cmake/wine-tree.sh"
cmake --build "$wine_tree" --target paint_bench >/dev/null
cd "$wine_tree"
picture=$root/resources/background.png
exec ./wine-run paint_bench.exe "Z:${picture//\//\\}" "${1:-60}"
