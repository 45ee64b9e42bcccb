#!/bin/bash
# Publishing 2,000 files / 1 GiB: full publish against cp -a and a durable copy (cp -a, then sync),
# with and without block files (--no-blocks); a re-publish with 1% changed, verify. Then the cost
# of block files where they are made: 16 packs of 64 MiB (1 GiB) with and without them, and the
# block-size table of bench_block_sizes (block-file bytes per GiB and build rate per block size).
# Usage: bench/publish/run.sh [path/to/quillor-publish]   (default: $QUILLOR_BUILD_DIR or build)
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
. "$root/bench/publish/release.sh"
tool=${1:-${QUILLOR_BUILD_DIR:-$root/build}/host/tools/publish/quillor-publish}
[ -x "$tool" ] || { echo "quillor-publish not found at $tool (build the host tree first)" >&2; exit 1; }

work=$(mktemp -d /tmp/quillor-publish-bench-XXXXXX)
trap 'rm -rf "$work"' EXIT
files=2000
total=$((1024 * 1024 * 1024))
chunk=$(( (total + files - 1) / files ))
rounds=3

echo "making the release: $files files, $total bytes in $work/release ..."
make_release "$work/release" "$files" "$total"
echo "files made: $(find "$work/release" -type f | wc -l), bytes: $(find "$work/release" -type f -printf '%s\n' | awk '{ s += $1 } END { print s }')"
"$tool" keygen "$work/bench" >/dev/null

now() { date +%s.%N; }
elapsed() { awk -v s="$1" -v e="$(now)" 'BEGIN { printf "%.3f", e - s }'; }
minimum() { printf '%s\n' "$@" | sort -g | head -n 1; }
fresh_server() { rm -rf "$work/server" "$work/server.publish-record" "$work/copy"; sync; }
publish() { "$tool" publish --key "$work/bench.pem" --serial "$1" "${@:2}" "$work/release" "$work/server" >/dev/null; }

cp_times=(); durable_times=(); full_times=(); plain_times=(); incremental_times=()
for round in $(seq 1 $rounds); do
    fresh_server
    start=$(now); cp -a "$work/release" "$work/copy"; cp_times+=("$(elapsed "$start")")
    fresh_server
    start=$(now); cp -a "$work/release" "$work/copy"; sync; durable_times+=("$(elapsed "$start")")
    fresh_server
    start=$(now); publish $((2 * round - 1)) --no-blocks; plain_times+=("$(elapsed "$start")")
    fresh_server
    start=$(now); publish $((2 * round)); full_times+=("$(elapsed "$start")")
    echo "round $round: cp -a ${cp_times[-1]} s, cp -a and sync ${durable_times[-1]} s, full publish ${full_times[-1]} s" \
         "(--no-blocks ${plain_times[-1]} s)"
done
blocks_made=$(find "$work/server/patch" -name '*.blocks' 2>/dev/null | wc -l)
# Twenty files of 2,000 (1% of the bytes) get new contents of the same size for each re-publish.
for round in $(seq 1 $rounds); do
    for k in $(seq 0 19); do
        n=$(( (round * 20 + k) * 97 % files ))
        f="$work/release/data/pack$((n / 100))/file $n.bin"
        head -c "$chunk" /dev/urandom >"$f.new" && mv "$f.new" "$f"
    done
    start=$(now); publish $((2 * rounds + round)); incremental_times+=("$(elapsed "$start")")
    echo "re-publish $round with 1% changed: ${incremental_times[-1]} s"
done
start=$(now)
"$tool" verify --key "$work/bench.pub.pem" "$work/server" >/dev/null
verify_time=$(elapsed "$start")

# Block files where they are made: 1 GiB in 16 packs of 64 MiB, every pack above the threshold.
make_release "$work/packs" 16 "$total"
packs_plain=(); packs_blocks=()
for round in $(seq 1 $rounds); do
    rm -rf "$work/packserver" "$work/packserver".*; sync
    start=$(now); "$tool" publish --key "$work/bench.pem" --serial 1 --no-blocks "$work/packs" "$work/packserver" >/dev/null
    packs_plain+=("$(elapsed "$start")")
    rm -rf "$work/packserver" "$work/packserver".*; sync
    start=$(now); "$tool" publish --key "$work/bench.pem" --serial 1 "$work/packs" "$work/packserver" >/dev/null
    packs_blocks+=("$(elapsed "$start")")
    echo "16 packs of 64 MiB, round $round: --no-blocks ${packs_plain[-1]} s, with block files ${packs_blocks[-1]} s"
done
pack_block_bytes=$(find "$work/packserver/patch" -name '*.blocks' -printf '%s\n' | awk '{ s += $1 } END { print s + 0 }')

cp_best=$(minimum "${cp_times[@]}"); full_best=$(minimum "${full_times[@]}")
plain_best=$(minimum "${plain_times[@]}")
packs_plain_best=$(minimum "${packs_plain[@]}"); packs_blocks_best=$(minimum "${packs_blocks[@]}")
durable_best=$(minimum "${durable_times[@]}")
incremental_best=$(minimum "${incremental_times[@]}")
awk -v c="$cp_best" -v d="$durable_best" -v f="$full_best" -v i="$incremental_best" -v v="$verify_time" -v b="$total" \
    -v p="$plain_best" -v n="$blocks_made" -v pp="$packs_plain_best" -v pb="$packs_blocks_best" -v bb="$pack_block_bytes" 'BEGIN {
    printf "cp -a (best of 3):                   %6.2f s\n", c
    printf "cp -a, then sync (best of 3):        %6.2f s\n", d
    printf "full publish (best of 3):            %6.2f s  = %.2fx cp -a, %.2fx the durable copy\n", f, f / c, f / d
    printf "the same with --no-blocks:           %6.2f s  (block files: %d, +%.1f %%)\n", p, n, (f / p - 1) * 100
    printf "16 packs of 64 MiB, --no-blocks:     %6.2f s\n", pp
    printf "the same with block files:           %6.2f s  = +%.1f %%, %d bytes of block files (%.3f %%)\n", pb, (pb / pp - 1) * 100, bb, bb * 100 / b
    printf "re-publish, 1%% changed (best of 3):  %6.2f s  = %.2fx the full publish\n", i, i / f
    printf "verify of the folder:                %6.2f s  (%.0f MB/s)\n", v, b / v / 1e6
}'
sizes=$(dirname "$tool")/../../bench/publish/bench_block_sizes
if [ -x "$sizes" ]; then "$sizes" 1024; else echo "(build bench_block_sizes for the block-size table)"; fi
