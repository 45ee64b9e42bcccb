#!/bin/bash
# The block search's speed by CPU time on one core: the i686 (or x86_64 copy) build under Wine, and natively when built.
# Searches a 256 MiB seed held in memory for the blocks of three indexes: an unrelated body (every
# window misses), the seed with 1 % of its blocks rewritten, the seed with bytes inserted at 1 %
# (most blocks shifted). Each figure is the best of ROUNDS; the found blocks and a digest of their
# offsets show that two builds found the same. QUILLOR_BENCH_OTHER_EXE=PATH runs a second
# bench_search.exe (e.g. one built from main) alternately with this one.
# Usage: bench/patch/search.sh [ROUNDS] [MIB] [BLOCK_SIZE]   (build tree: $QUILLOR_BUILD_DIR or build/)
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${QUILLOR_BUILD_DIR:-$root/build}
source "$root/cmake/wine-tree.sh"
win=$wine_tree
rounds=${1:-5}
args=("$rounds" "${2:-256}" "${3:-4096}")

if ! log=$(cmake --build "$win" --target bench_search 2>&1); then
    echo "$log"
    exit 1
fi
native=$build/host/bench/patch/bench_search
if [ -d "$build/host" ] && log=$(cmake --build "$build/host" --target bench_search 2>&1); then
    :
else
    native=
fi

declare -A mbps found
run() {  # label command...
    local label=$1 out line
    shift
    out=$("$@" | tr -d '\r')
    while IFS= read -r line; do
        case $line in
            *_mbps=*) mbps[$label.${line%%_mbps=*}]=${line#*=} ;;
            *_found=*) found[$label.${line%%_found=*}]=${line#*_found=} ;;
        esac
    done <<<"$out"
}
labels=(wine)
run wine "$win/wine-run" "$win/bench_search.exe" "${args[@]}"
if [ -n "${QUILLOR_BENCH_OTHER_EXE:-}" ]; then
    labels+=(other)
    run other "$win/wine-run" "$QUILLOR_BENCH_OTHER_EXE" "${args[@]}"
fi
if [ -n "$native" ]; then
    labels+=(native)
    run native "$native" "${args[@]}"
fi

printf 'seed %s MiB in memory, blocks of %s bytes, best of %s rounds, CPU time, MB = 10^6 bytes\n' \
    "${args[1]}" "${args[2]}" "$rounds"
printf '%-14s' case
for label in "${labels[@]}"; do printf '%12s' "$label"; done
printf '\n'
for c in no_match changed_1pct shifted; do
    printf '%-14s' "$c"
    for label in "${labels[@]}"; do printf '%7s MB/s' "${mbps[$label.$c]:-?}"; done
    printf '\n'
done
status=0
for c in no_match changed_1pct shifted; do
    for label in "${labels[@]}"; do
        printf '%-14s %-7s found %s\n' "$c" "$label" "${found[$label.$c]:-?}"
        if [ "${found[$label.$c]:-}" != "${found[wine.$c]:-}" ]; then
            echo "results DIFFER between wine and $label for $c"
            status=1
        fi
    done
done
exit $status
