#!/usr/bin/env bash
# Runs one libFuzzer target for a bounded time from a scratch copy of its
# seed corpus, which grows from run to run; the seeds in the repository are
# never written. Usage: run_fuzz_target.sh TARGET SEEDS BUILD_DIR SECONDS
set -euo pipefail
target=$1 seeds=$2 out=$3 seconds=$4
name=$(basename "$target")
work=$out/corpus/$(basename "$seeds")
log=$out/$name.log
mkdir -p "$work" "$out/artifacts"
cp "$seeds"/* "$work"/
if ! "$target" -max_total_time="$seconds" -print_final_stats=1 \
        -artifact_prefix="$out/artifacts/$name-" "$work" >"$log" 2>&1; then
    tail -n 40 "$log"
    echo "FAIL: $name found a fault; input in $out/artifacts/, log in $log"
    exit 1
fi
runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
speed=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
echo "$name: no findings, $runs executions in ${seconds}s ($speed per second), corpus $(ls "$work" | wc -l) inputs"
