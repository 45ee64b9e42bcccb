#!/bin/bash
# The block search's speed by CPU time on one core: the i686 (or x86_64 copy) build under Wine, and natively when built.
# Searches a 256 MiB seed held in memory for the blocks of four indexes: an unrelated body (every
# window misses), the seed with 1 % of its blocks rewritten, the seed with bytes inserted at 1 %
# (most blocks shifted), and a hostile index whose weak checksums crowd the search's filter. Each
# figure is the best of ROUNDS runs of one search each, the programs taken in turn, since the
# machine's neighbours slow any single run; the found blocks and a digest of their offsets show
# that every program found the same, "looked up" how many windows the filter let through.
# QUILLOR_BENCH_OTHER_EXE=PATH adds a second bench_search.exe (e.g. one built from main).
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${QUILLOR_BUILD_DIR:-$root/build}
source "$root/cmake/wine-tree.sh"
win=$wine_tree
rounds=${1:-5}
sizes=("${2:-256}" "${3:-4096}")
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

declare -A mbps found lookups
run() {  # label command...: one search per case; keeps the best figure
    local label=$1 out line c v
    shift
    # Once more when Wine's client loses its server as a run starts (seen while neighbours run Wine).
    out=$("$@" 1 "${sizes[@]}") || out=$("$@" 1 "${sizes[@]}")
    out=$(tr -d '\r' <<<"$out")
    while IFS= read -r line; do
        case $line in
            *_mbps=*)
                c=${line%%_mbps=*} v=${line#*=}
                if [ -z "${mbps[$label.$c]:-}" ] || [ "$(echo "$v > ${mbps[$label.$c]}" | bc -l)" = 1 ]; then
                    mbps[$label.$c]=$v
                fi ;;
            *_found=*) found[$label.${line%%_found=*}]=${line#*_found=} ;;
            *_lookups=*) lookups[$label.${line%%_lookups=*}]=${line#*_lookups=} ;;
        esac
    done <<<"$out"
}
labels=(wine)
if [ -n "${QUILLOR_BENCH_OTHER_EXE:-}" ]; then labels+=(other); fi
if [ -n "$native" ]; then labels+=(native); fi
for _ in $(seq "$rounds"); do
    for label in "${labels[@]}"; do
        case $label in
            wine) run wine "$win/wine-run" "$win/bench_search.exe" ;;
            other) run other "$win/wine-run" "$QUILLOR_BENCH_OTHER_EXE" ;;
            native) run native "$native" ;;
        esac
    done
done

printf 'seed %s MiB in memory, blocks of %s bytes, best of %s rounds, CPU time, MB = 10^6 bytes\n' \
    "${sizes[0]}" "${sizes[1]}" "$rounds"
printf '%-14s' case
for label in "${labels[@]}"; do printf '%12s' "$label"; done
printf '\n'
for c in no_match changed_1pct shifted crowded; do
    printf '%-14s' "$c"
    for label in "${labels[@]}"; do printf '%7s MB/s' "${mbps[$label.$c]:-?}"; done
    printf '\n'
done
status=0
for c in no_match changed_1pct shifted crowded; do
    for label in "${labels[@]}"; do
        printf '%-14s %-7s found %s, looked up %s\n' "$c" "$label" "${found[$label.$c]:-?}" "${lookups[$label.$c]:-?}"
        if [ "${found[$label.$c]:-}" != "${found[wine.$c]:-}" ]; then
            echo "results DIFFER between wine and $label for $c"
            status=1
        fi
    done
done
exit $status
