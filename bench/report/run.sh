#!/bin/bash
# The report over a 5-million-line access log (LINES) that it makes: lines per second of
# "quillor-publish report" on one core, of Debian's goaccess over the same requests in nginx's
# combined format (its first GOACCESS_LINES, default all), and of wc -l; and the report's memory
# per distinct address, from two logs of the same length with 100,000 and 1,000,000 addresses.
# Usage: bench/report/run.sh [LINES]   (build tree: $QUILLOR_BUILD_DIR or build; GOACCESS_LINES=N)
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${QUILLOR_BUILD_DIR:-$root/build}/host
lines=${1:-5000000}
[[ "$lines" =~ ^[0-9]+$ ]] && ((lines >= 1000)) || { echo "LINES: a number, at least 1000" >&2; exit 2; }
cmake --build "$build" --target quillor-publish report_bench_make_logs >/dev/null
tool=$build/tools/publish/quillor-publish
maker=$build/bench/report/report_bench_make_logs
work=$(mktemp -d "${TMPDIR:-/tmp}/report-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT

# A site of two releases: serial 2 changes three of four files.
mkdir -p "$work/rel/data"
for i in 0 1 2 3; do head -c $((1000 * (i + 1))) /dev/zero | tr '\0' "$i" >"$work/rel/data/f$i.pak"; done
touch -d '1 hour ago' "$work"/rel/data/*
"$tool" keygen "$work/k" >/dev/null
"$tool" publish --key "$work/k.pem" --serial 1 "$work/rel" "$work/srv" >/dev/null
for i in 1 2 3; do echo changed >>"$work/rel/data/f$i.pak"; done
touch -d '1 hour ago' "$work"/rel/data/*
"$tool" publish --key "$work/k.pem" --serial 2 "$work/rel" "$work/srv" >/dev/null
etag=$(printf '%x-%x' "$(stat -c %Y "$work/srv/manifest.txt")" "$(stat -c %s "$work/srv/manifest.txt")")
files=()
for i in 1 2 3; do files+=("data/f$i.pak:$(stat -c %s "$work/rel/data/f$i.pak")"); done

rate() { awk -v n="$1" -v s="$2" 'BEGIN { printf "%.0f", n / s }'; }
# Runs the command on core 0; prints "CPU_SECONDS MAX_RSS_KB WALL_SECONDS". CPU time (user and
# system) is the figure: on a machine shared with builds the wall time says more of the others.
measure() {
    /usr/bin/time -f '%U %S %M %e' -o "$work/time" taskset -c 0 "$@" >/dev/null 2>"$work/err" ||
        { cat "$work/err" >&2; exit 1; }
    awk '{ printf "%.3f %d %.3f\n", $1 + $2, $3, $4 }' "$work/time"
}

echo "making $lines lines in each form ..."
"$maker" "$work/big.json" "$work/big.log" "$lines" 1000000 "$etag" "$(stat -c %s "$work/srv/manifest.txt")" "${files[@]}"
"$maker" "$work/few.json" "$work/few.log" "$lines" 100000 "$etag" "$(stat -c %s "$work/srv/manifest.txt")" "${files[@]}"
echo "log: $(du -h "$work/big.json" | cut -f1) JSON, $(du -h "$work/big.log" | cut -f1) combined"
cat "$work/big.json" "$work/big.log" >/dev/null  # both in the page cache for every reader

read -r s_wc _ w_wc < <(measure wc -l "$work/big.json")
read -r s_many rss_many w_many < <(measure "$tool" report "$work/srv" "$work/big.json")
read -r s_few rss_few _ < <(measure "$tool" report "$work/srv" "$work/few.json")
"$tool" report "$work/srv" "$work/big.json" | head -4

goaccess_lines=${GOACCESS_LINES:-$lines}
head -n "$goaccess_lines" "$work/big.log" >"$work/goaccess.log"
read -r s_go _ w_go < <(measure goaccess "$work/goaccess.log" --log-format=COMBINED --no-global-config -o "$work/goaccess.html")

echo "report:   $(rate "$lines" "$s_many") lines/s on one core ($s_many s CPU, $w_many s wall; 1,000,000 addresses, max RSS $((rss_many / 1024)) MiB)"
echo "goaccess: $(rate "$goaccess_lines" "$s_go") lines/s ($s_go s CPU, $w_go s wall, over $goaccess_lines lines in combined format)"
echo "wc -l:    $(rate "$lines" "$s_wc") lines/s ($s_wc s CPU, $w_wc s wall)"
echo "memory:   $(awk -v a="$rss_many" -v b="$rss_few" 'BEGIN { printf "%.0f", (a - b) * 1024 / 900000 }') bytes per distinct address" \
     "(max RSS $((rss_few / 1024)) MiB with 100,000 addresses, $((rss_many / 1024)) MiB with 1,000,000; report at 100,000: $s_few s)"
