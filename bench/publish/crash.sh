#!/bin/bash
# The whole crash campaign: quillor-publish killed (SIGKILL) and failed (ENOSPC, EIO, EACCES) at every
# call that changes the disk, in every scenario, and with EIO at every read of the history commands
# and the stage commands; prints the points tried and how many broke an invariant.
# Usage: bench/publish/crash.sh [path/to/publish_tests]   (default: $QUILLOR_BUILD_DIR or build)
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
tests=${1:-${QUILLOR_BUILD_DIR:-$root/build}/host/tests/tools/publish_tests}
[ -x "$tests" ] || { echo "publish_tests not found at $tests (build the host tree first)" >&2; exit 1; }
command -v strace >/dev/null || { echo "strace is missing (cmake/setup.sh installs it)" >&2; exit 1; }

start=$(date +%s)
status=0
log=$(mktemp /tmp/quillor-crash-sweep-XXXXXX.log)
trap 'rm -f "$log"' EXIT
QUILLOR_CRASH_SWEEP=full "$tests" --gtest_color=no \
    --gtest_filter='PublishCrash.*:PublishStage.InterruptedCommandsNeverRouteABucketToALowerSerial' >"$log" 2>&1 || status=1
grep -E '^crash campaign' "$log"
if [ $status != 0 ]; then grep -E -A2 'Failure$' "$log" | grep -v -E '^--$|Failure$' || true; fi
echo "full sweep: $(( $(date +%s) - start )) s, $([ $status = 0 ] && echo 'no invariant broken' || echo 'INVARIANTS BROKEN')"
exit $status
