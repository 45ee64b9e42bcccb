#!/bin/bash
# Runs one fuzz target on a fresh copy of its seed corpus, so nothing is written into the sources.
# Usage: run_target.sh FUZZER SEED_DIR WORK_DIR [libFuzzer options...]
set -euo pipefail
fuzzer=$1 seeds=$2 work=$3
shift 3
rm -rf "$work"
mkdir -p "$work/corpus" "$work/findings"
cp "$seeds"/* "$work/corpus/"
exec "$fuzzer" -artifact_prefix="$work/findings/" -print_final_stats=1 "$@" "$work/corpus"
