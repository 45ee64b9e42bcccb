#!/bin/bash
# The history's cost: 2,000 files / 1 GiB published 10 times with 1% changed each time; the disk the
# history takes (du, beside the live tree), and a revert's time against a re-publish and a full publish.
# Usage: bench/publish/history.sh [path/to/quillor-publish]   (default: $QUILLOR_BUILD_DIR or build)
# QUILLOR_BENCH_BYTES sets the release size (default 1 GiB).
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
. "$root/bench/publish/release.sh"
tool=${1:-${QUILLOR_BUILD_DIR:-$root/build}/host/tools/publish/quillor-publish}
[ -x "$tool" ] || { echo "quillor-publish not found at $tool (build the host tree first)" >&2; exit 1; }

work=$(mktemp -d /tmp/quillor-history-bench-XXXXXX)
trap '[ -n "${QUILLOR_BENCH_KEEP:-}" ] || rm -rf "$work"' EXIT
files=2000
total=${QUILLOR_BENCH_BYTES:-$((1024 * 1024 * 1024))}
chunk=$(( (total + files - 1) / files ))
releases=10

make_release "$work/release" "$files" "$total"
"$tool" keygen "$work/bench" >/dev/null

now() { date +%s.%N; }
elapsed() { awk -v s="$1" -v e="$(now)" 'BEGIN { printf "%.3f", e - s }'; }
publish() { "$tool" publish --key "$work/bench.pem" --serial "$1" --message "release $1" "$work/release" "$work/server" >/dev/null; }
change() {  # twenty files of 2,000 (1% of the bytes) get new contents of the same size
    for k in $(seq 0 19); do
        n=$(( ($1 * 20 + k) * 97 % files ))
        f="$work/release/data/pack$((n / 100))/file $n.bin"
        head -c "$chunk" /dev/urandom >"$f.new" && mv "$f.new" "$f"
        # Built some time before the publish, as a build leaves them (a file younger than a second
        # before the previous publish began is copied afresh even when unchanged).
        touch -d "@$(( $(date +%s) - 1000 - $1 ))" "$f"
    done
}

start=$(now); publish 1; full=$(elapsed "$start")
republish=()
for serial in $(seq 2 $releases); do
    change "$serial"
    start=$(now); publish "$serial"; republish+=("$(elapsed "$start")")
done
sync
live_kib=$(du -sk "$work/server" | cut -f1)
# du counts a body once, where it first meets it: the live tree first, then what only the history holds.
both_kib=$(du -sk "$work/server" "$work/server.history" | awk 'NR == 2 { print $1 }')
entries=$(find "$work/server.history" -mindepth 1 -maxdepth 1 -type d | wc -l)
reverts=()
for serial in $(seq $((releases + 1)) $((releases + 3))); do
    start=$(now)
    "$tool" revert --key "$work/bench.pem" --to $((serial - releases)) --serial "$serial" "$work/server" >/dev/null
    reverts+=("$(elapsed "$start")")
done
"$tool" verify --key "$work/bench.pub.pem" --expect-serial $((releases + 3)) "$work/server" >/dev/null
best() { printf '%s\n' "$@" | sort -g | head -n 1; }
awk -v f="$full" -v p="$(best "${republish[@]}")" -v r="$(best "${reverts[@]}")" -v l="$live_kib" -v h="$both_kib" \
    -v e="$entries" -v n="$releases" -v b="$total" 'BEGIN {
    printf "release: 2000 files, %d bytes; %d publishes with 1%% changed each\n", b, n
    printf "live tree:                           %8.1f MiB\n", l / 1024
    printf "history beside it (%2d entries):      %8.1f MiB  = %.1f%% of the live tree per kept release\n", e, h / 1024, 100 * h / l / (e - 1)
    printf "full publish:                        %6.2f s\n", f
    printf "re-publish, 1%% changed (best):       %6.2f s\n", p
    printf "revert to a kept release (best of 3): %5.2f s  = %.2fx the re-publish\n", r, r / p
}'
