#!/bin/bash
# Publishing 100,000 small files against the floor of a tree of links (cp -al, then sync), with peak memory.
# Usage: bench/publish/many.sh [path/to/quillor-publish]   (default: $QUILLOR_BUILD_DIR or build)
# QUILLOR_BENCH_FILES (default 100000, in folders of 100), QUILLOR_BENCH_ROUNDS (default 3; medians are
# printed), QUILLOR_BENCH_KEPT=0 leaves out the re-publish with ten kept releases, QUILLOR_BENCH_STRACE=1 adds an strace -c -f of a no-change re-publish, QUILLOR_BENCH_DIR the
# folder to work in (default: the build tree; never a tmpfs, which has no disk to flush).
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${QUILLOR_BUILD_DIR:-$root/build}
tool=${1:-$build/host/tools/publish/quillor-publish}
[ -x "$tool" ] || { echo "quillor-publish not found at $tool (build the host tree first)" >&2; exit 1; }
[ -x /usr/bin/time ] || { echo "/usr/bin/time is needed for peak memory (Debian package time)" >&2; exit 1; }
files=${QUILLOR_BENCH_FILES:-100000}
rounds=${QUILLOR_BENCH_ROUNDS:-3}
[[ "$files" =~ ^[0-9]+$ ]] && ((files >= 1000)) || { echo "QUILLOR_BENCH_FILES: at least 1000" >&2; exit 2; }
[[ "$rounds" =~ ^[0-9]+$ ]] && ((rounds >= 1)) || { echo "QUILLOR_BENCH_ROUNDS: at least 1" >&2; exit 2; }

base=${QUILLOR_BENCH_DIR:-$build}
mkdir -p "$base"
work=$(mktemp -d "$base/publish-many-XXXXXX")
trap 'rm -rf "$work"' EXIT
if [ "$(stat -f -c %T "$work")" = tmpfs ]; then
    echo "$work is on a tmpfs; set QUILLOR_BENCH_DIR to a folder on a disk" >&2
    exit 2
fi

echo "making the release: $files files of 1-16 KiB, 100 to a folder, in $work/release ..."
# Slices of one block of random bytes at pseudo-random offsets: fast to make, and no two alike.
perl -e '
    my ($dir, $count) = @ARGV;
    open(my $random, "<", "/dev/urandom") or die; read($random, my $pool, 1 << 24) or die;
    my $seed = 12345;
    for my $i (0 .. $count - 1) {
        my $folder = sprintf("%s/assets/group%02d/set%03d", $dir, int($i / 10000), int($i / 100) % 100);
        if ($i % 100 == 0) { system("mkdir", "-p", $folder) == 0 or die; }
        $seed = ($seed * 1103515245 + 12345) % 2147483648;
        my $size = 1024 + $seed % (15 * 1024 + 1);
        my $offset = ($seed >> 3) % ((1 << 24) - $size);
        open(my $out, ">", sprintf("%s/item%05d.dat", $folder, $i)) or die;
        print $out substr($pool, $offset, $size); close($out) or die;
    }' "$work/release" "$files"
find "$work/release" -type f -exec touch -d '10 minutes ago' {} +
echo "files made: $(find "$work/release" -type f | wc -l), bytes: $(du -sb "$work/release" | cut -f1)"
"$tool" keygen "$work/bench" >/dev/null

# Runs a command under /usr/bin/time after a flush; sets wall (seconds) and peak (KiB).
measure() {
    sync
    /usr/bin/time -f '%e %M' -o "$work/time" "$@" >/dev/null 2>"$work/stderr" || {
        echo "failed: $*" >&2; cat "$work/stderr" >&2; exit 1; }
    read -r wall peak <"$work/time"
}
measure_copy() { measure bash -c 'cp "$1" "$2" "$3" && sync' copy "$1" "$server" "$work/copy"; }
median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
load() { cut -d' ' -f1 /proc/loadavg; }
# Gives a hundredth of the files new contents of the same size (the files differ per call).
change_some() {
    local step=$1
    find "$work/release" -type f | sort | awk -v s="$step" 'NR % 100 == s % 100' | perl -e '
        open(my $random, "<", "/dev/urandom") or die;
        while (my $f = <STDIN>) {
            chomp $f; my $size = -s $f; read($random, my $bytes, $size) == $size or die;
            open(my $out, ">", "$f.new") or die; print $out $bytes; close($out) or die; rename("$f.new", $f) or die;
        }'
}
key=(--key "$work/bench.pem")
server=$work/server
has_command() { "$tool" --help 2>&1 | grep -q "^  $1 "; }

measure "$tool" --help
start_rss=$peak
echo "the tool's start: $start_rss KiB (peak RSS of --help); load average $(load) before the rounds"
declare -A times peaks
add() { times[$1]+=" $wall"; peaks[$1]+=" $peak"; }
serial=0
step=0
for round in $(seq 1 "$rounds"); do
    rm -rf "$server" "$server".* "$work/copy"
    line="round $round (load $(load)):"
    serial=$((serial + 1))
    measure "$tool" publish "${key[@]}" --serial $serial "$work/release" "$server"; add full
    measure_copy -a; add copy; rm -rf "$work/copy"
    measure_copy -al; add floor; rm -rf "$work/copy"
    serial=$((serial + 1))
    measure "$tool" publish "${key[@]}" --serial $serial "$work/release" "$server"; add same
    # The same again with --keep 1: the first release (a tree of 100,000 links) is pruned, its
    # removal left to a child after the result; the next measure waits for that child.
    serial=$((serial + 1)); again=$serial
    measure "$tool" publish "${key[@]}" --keep 1 --serial $serial "$work/release" "$server"; add pruning
    for _ in $(seq 1 600); do compgen -G "$server.history/*.gone" >/dev/null || break; sleep 0.1; done
    step=$((step + 1)); change_some $step
    serial=$((serial + 1))
    measure "$tool" publish "${key[@]}" --serial $serial "$work/release" "$server"; add changed
    step=$((step + 1)); change_some $step
    serial=$((serial + 1))
    measure "$tool" stage "${key[@]}" --serial $serial --share 10 "$work/release" "$server"; add stage
    measure "$tool" widen --share 50 "$server"; add widen
    measure "$tool" promote "$server"; add promote
    if has_command revert; then
        serial=$((serial + 1))
        measure "$tool" revert "${key[@]}" --to $again --serial $serial "$server"; add revert
    fi
    for name in full copy floor same pruning changed stage widen promote revert; do
        [ -n "${times[$name]:-}" ] && line+=" $name $(echo ${times[$name]} | awk '{ print $NF }') s"
    done
    echo "$line"
done

echo "medians of $rounds rounds ($files files; load average now $(load)):"
floor=$(median ${times[floor]})
report() {
    local name=$1 label=$2
    [ -n "${times[$name]:-}" ] || { printf '%-38s (not on this branch)\n' "$label"; return; }
    local t p
    t=$(median ${times[$name]}); p=$(median ${peaks[$name]})
    awk -v t="$t" -v f="$floor" -v p="$p" -v s="$start_rss" -v n="$files" -v l="$label" -v tool="$3" 'BEGIN {
        printf "%-38s %7.2f s  %5.2fx the floor", l, t, t / f
        if (tool) printf "  peak %4.0f MB, %5.0f bytes/file above the start", p / 1024, (p - s) * 1024 / n
        printf "\n" }'
}
report floor "cp -al + sync (the floor)" ""
report copy "cp -a + sync" ""
report full "full publish" 1
report same "re-publish, nothing changed" 1
report pruning "the same, pruning a release (--keep 1)" 1
report changed "re-publish, 1% changed" 1
report stage "stage 10%, 1% changed" 1
report widen "widen to 50%" 1
report promote "promote" 1
report revert "revert to the round's first files" 1

# Every kept release is a release players may still hold, which a publish checks the new one
# against: the last round's site gets ten more releases (1% changed each), so that the default
# --keep 10 holds ten, then a re-publish with nothing changed is timed; then the same after a
# prune to one kept release, on the same site and trees.
wait_gone() { for _ in $(seq 1 600); do compgen -G "$server.history/*.gone" >/dev/null || break; sleep 0.1; done; }
if [ "${QUILLOR_BENCH_KEPT:-1}" = 1 ]; then
    for _ in $(seq 1 10); do
        step=$((step + 1)); change_some $step
        serial=$((serial + 1))
        "$tool" publish "${key[@]}" --serial $serial "$work/release" "$server" >/dev/null
        wait_gone
    done
    kept=$(find "$server.history" -mindepth 1 -maxdepth 1 -type d ! -name '*.gone' | wc -l)
    for _ in $(seq 1 "$rounds"); do
        serial=$((serial + 1))
        measure "$tool" publish "${key[@]}" --serial $serial "$work/release" "$server"; add kept
        wait_gone
    done
    "$tool" prune --keep 1 "$server" >/dev/null
    wait_gone
    for _ in $(seq 1 "$rounds"); do
        serial=$((serial + 1))
        measure "$tool" publish "${key[@]}" --keep 1 --serial $serial "$work/release" "$server"; add kept1
        wait_gone
    done
    report kept "re-publish, nothing changed, $kept entries" 1
    report kept1 "the same site after prune --keep 1" 1
fi

if [ "${QUILLOR_BENCH_STRACE:-0}" = 1 ]; then
    command -v strace >/dev/null || { echo "strace is not installed" >&2; exit 1; }
    # The live tree is the last round's revert: one publish brings it to the release first.
    serial=$((serial + 1))
    "$tool" publish "${key[@]}" --serial $serial "$work/release" "$server" >/dev/null
    serial=$((serial + 1))
    sync
    strace -c -f -o "$work/strace" "$tool" publish "${key[@]}" --serial $serial "$work/release" "$server" >/dev/null
    echo "strace -c -f of a re-publish with nothing changed:"
    cat "$work/strace"
fi
