#!/bin/bash
# Publish time for a release of 2,000 files / 1 GiB: prints seconds and MB/s per run.
# Usage: bench/publish/run.sh [path/to/quillor-publish]   (default: $QUILLOR_BUILD_DIR or build)
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
tool=${1:-${QUILLOR_BUILD_DIR:-$root/build}/host/tools/publish/quillor-publish}
[ -x "$tool" ] || { echo "quillor-publish not found at $tool (build the host tree first)" >&2; exit 1; }

work=$(mktemp -d /tmp/quillor-publish-bench-XXXXXX)
trap 'rm -rf "$work"' EXIT
files=2000
total=$((1024 * 1024 * 1024))
chunk=$(( (total + files - 1) / files ))

echo "making the release: $files files, $total bytes in $work/release ..."
mkdir -p "$work/release" "$work/split"
# Pseudo-random bytes (AES-CTR over zeros) are fast to make and do not compress.
# The generator dies of SIGPIPE once head has enough; that is expected.
{ openssl enc -aes-128-ctr -nosalt -pass pass:quillor -pbkdf2 </dev/zero 2>/dev/null || true; } | head -c "$total" |
    split -b "$chunk" -a 4 -d - "$work/split/part"
i=0
for part in "$work"/split/part*; do
    folder="$work/release/data/pack$((i / 100))"
    mkdir -p "$folder"
    mv "$part" "$folder/file $i.bin"
    i=$((i + 1))
done
echo "files made: $(find "$work/release" -type f | wc -l), bytes: $(find "$work/release" -type f -printf '%s\n' | awk '{ s += $1 } END { print s }')"
"$tool" keygen "$work/bench" >/dev/null

for run in 1 2; do
    start=$(date +%s.%N)
    "$tool" publish --key "$work/bench.pem" --serial "$run" "$work/release" "$work/server" >/dev/null
    end=$(date +%s.%N)
    awk -v s="$start" -v e="$end" -v b="$total" -v r="$run" \
        'BEGIN { t = e - s; printf "publish run %d (%s): %.2f s, %.0f MB/s\n", r, (r == 1 ? "new tree" : "replacing the tree"), t, b / t / 1e6 }'
done
start=$(date +%s.%N)
"$tool" verify --key "$work/bench.pub.pem" "$work/server" >/dev/null
end=$(date +%s.%N)
awk -v s="$start" -v e="$end" -v b="$total" 'BEGIN { t = e - s; printf "verify (folder): %.2f s, %.0f MB/s\n", t, b / t / 1e6 }'
