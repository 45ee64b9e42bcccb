#!/bin/bash
# Long fuzzing campaigns, one target after the other; prints executions, exec/s, coverage and
# findings per target. Usage: bench/fuzz/run.sh [BUILD_DIR] [TARGET...]
# RUNS (default 10000000) and SECONDS_PER_TARGET (default: no limit) bound each campaign.
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-${QUILLOR_BUILD_DIR:-$root/build}}
shift || true
fuzz=$build/host/fuzz
targets=${*:-manifest command_line settings decimal url_encode publish_paths request_target}
runs=${RUNS:-10000000}
limit=${SECONDS_PER_TARGET:+-max_total_time=$SECONDS_PER_TARGET}

mkdir -p "$fuzz/campaign"
printf '%-16s %12s %9s %8s %8s %9s %s\n' target executions exec/s cov ft findings seconds
for target in $targets; do
    work=$fuzz/campaign/$target
    dict=""  # the two path targets take the dictionary of Windows names, as in the test command
    case $target in manifest|publish_paths) dict=-dict=$root/tests/fuzz/windows_names.dict ;; esac
    start=$(date +%s)
    "$root/tests/fuzz/run_target.sh" "$fuzz/fuzz_$target" "$root/tests/fuzz/corpus/$target" "$work" \
        -runs="$runs" $limit -max_len=4096 $dict >"$work.log" 2>&1
    status=$?
    seconds=$(( $(date +%s) - start ))
    executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work.log")
    speed=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$work.log")
    cov=$(grep -o 'cov: [0-9]*' "$work.log" | tail -1 | cut -d' ' -f2)
    ft=$(grep -o 'ft: [0-9]*' "$work.log" | tail -1 | cut -d' ' -f2)
    findings=$(find "$work/findings" -type f | wc -l)
    [ "$status" = 0 ] || [ "$findings" != 0 ] || findings="exit $status"
    printf '%-16s %12s %9s %8s %8s %9s %s\n' "$target" "${executions:-?}" "${speed:-?}" \
        "${cov:-?}" "${ft:-?}" "$findings" "$seconds"
done
echo "logs and findings: $fuzz/campaign/"
