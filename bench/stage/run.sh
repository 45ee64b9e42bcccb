#!/bin/bash
# Staged releases at scale: the publish_stage simulation with PLAYERS players (default 10,000),
# each a client bound to its own loopback address, through one Varnish edge in front of the nginx
# origin (the shipped recipe): fresh installs, stage 5 %, widen to 25 %, a fix staged as a new
# serial, promotion, then a stage of 10 % closed by a forward fix. Prints per step the share on the
# staged serial against its target, refusals and serial decreases, the time a widen takes to reach
# the next request, and the edge's share of the body bytes. Loopback only, bounded.
# Usage: bench/stage/run.sh [PLAYERS]   (100 to 60000; build tree: $QUILLOR_BUILD_DIR or build)
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
tests=${QUILLOR_BUILD_DIR:-$root/build}/host/tests/tools/publish_tests
players=${1:-10000}
[ -x "$tests" ] || { echo "publish_tests not found at $tests (build the host tree first)" >&2; exit 1; }
[[ "$players" =~ ^[0-9]+$ ]] && ((players >= 100 && players <= 60000)) || { echo "PLAYERS: 100 to 60000" >&2; exit 2; }
echo "$players players:"
start=$(date +%s)
status=0
QUILLOR_STAGE_PLAYERS=$players "$tests" --gtest_color=no \
    --gtest_filter=PublishStage.PlayersThroughTheEdgeNeverGoBackAndFollowTheShare >"${TMPDIR:-/tmp}/stage-bench.$$" 2>&1 ||
    status=$?
grep -v -E '^(\[|Running main|Note: Google|$)' "${TMPDIR:-/tmp}/stage-bench.$$" || true
rm -f "${TMPDIR:-/tmp}/stage-bench.$$"
echo "$(( $(date +%s) - start )) s, $([ $status = 0 ] && echo "every check held" || echo "a check FAILED (see above)")"
exit $status
