#!/bin/bash
# Patching a release of packs: bytes on the wire and run times of this build's updater, the previous exe, zsync and xdelta3.
# Makes a release of QUILLOR_BENCH_PATCH_MIB (default 3072) MiB of packs of incompressible records
# and its next release (about 1 % of two packs' records rebuilt, an insertion near the start of a
# pack, an append, a pack rewritten whole, a file moved, 10 of 1,000 small files changed), publishes
# the new one with quillor-publish, serves it with nginx made by "quillor-publish site", and
# measures, from a fresh copy of the old release each time:
# - bytes on the wire per row, counted by nginx: this build's updater, the previous release's exe
#   (whole files), Debian's zsync with zsyncmake's defaults (control files counted), and the size
#   of an "xdelta3 -e -s OLD NEW" patch per pair;
# - the whole run's time on unlimited loopback, and on a 100 Mbit/s, 40 ms link: a network
#   namespace of the bench's own with tbf on its loopback and a relay that holds every byte 20 ms
#   each way (QUILLOR_BENCH_PATCH_LINK=0 leaves the link out); on loopback the best of
#   QUILLOR_BENCH_PATCH_ROUNDS (2) runs of each exe, taken alternately;
# - the updater's peak memory (ru_maxrss of the Wine process).
# Usage: bench/patch/run.sh [BUILD_DIR]   (default $QUILLOR_BUILD_DIR or build; needs root for the
# namespace; the work folder is $TMPDIR/patch-bench.*, removed afterwards, about 3.5 times the size)
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$(realpath -m "${1:-${QUILLOR_BUILD_DIR:-$root/build}}")
mib=${QUILLOR_BENCH_PATCH_MIB:-3072}
[[ "$mib" =~ ^[0-9]+$ ]] && ((mib >= 16)) || { echo "QUILLOR_BENCH_PATCH_MIB: a number of MiB, at least 16" >&2; exit 2; }
for tool in zsync zsyncmake xdelta3 ip tc /usr/sbin/nginx /usr/bin/python3; do
    command -v "$tool" >/dev/null || { echo "bench: $tool is missing; run cmake/setup.sh" >&2; exit 2; }
done
source "$root/cmake/wine-tree.sh"
[ -x "$wine_tree/wine-run" ] || { echo "bench: no Windows build in $wine_tree; run cmake/build.sh" >&2; exit 2; }
prefix=$(sed -n "s/^export WINEPREFIX='\([^']*\)'.*/\1/p" "$wine_tree/wine-run")

cmake "$build/host" >/dev/null  # bench/ finds its topic folders when configured
cmake --build "$build/host" --target quillor-publish patch_bench_make_set >/dev/null
cmake --build "$wine_tree" --target quillor_updater >/dev/null
previous=$("$root/cmake/previous-exe.sh" "$wine_tree" | tail -n 1)

work=$(mktemp -d "${TMPDIR:-/tmp}/patch-bench.XXXXXX")
chmod 755 "$work"  # nginx's workers read it as another user
netns=quillor-patch-$$
cleanup() {
    ip netns del "$netns" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

# The player's link: its rate on the namespace's loopback; the relay adds the round trip. The
# loopback's own MTU (65536) is larger than tbf's bucket, which then drops every full packet and
# stalls TCP; 1500 is an Internet path's.
ip netns add "$netns"
ip netns exec "$netns" ip link set lo mtu 1500
ip netns exec "$netns" ip link set lo up
ip netns exec "$netns" tc qdisc add dev lo root tbf rate 100mbit burst 64kb latency 50ms

echo "making the releases ($mib MiB) ..."
"$build/host/bench/patch/patch_bench_make_set" "$work/set" "$mib"
link_flag=()
if [ "${QUILLOR_BENCH_PATCH_LINK:-1}" = 0 ]; then link_flag=(--no-link); fi
/usr/bin/python3 "$root/bench/patch/bench_patch.py" --work "$work" \
    --tool "$build/host/tools/publish/quillor-publish" --key "$wine_tree/devkey/quillor-dev.pem" \
    --wine-run "$wine_tree/wine-run" --prefix "$prefix" --exe "$wine_tree/Quillor - Updater.exe" \
    --previous "$previous" --netns "$netns" --delay-ms 20 --rate-mbit 100 \
    --rounds "${QUILLOR_BENCH_PATCH_ROUNDS:-2}" "${link_flag[@]}"
