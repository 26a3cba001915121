#!/usr/bin/env bash
# Builds the libFuzzer targets in build-fuzz with clang++ (address and
# undefined-behaviour sanitizers) and runs each for FUZZ_SECONDS (default 10).
# Each target starts from its seed corpus in fuzz/corpus, copied into a
# scratch corpus under build-fuzz that grows from run to run; the seeds in the
# repository are never written. Any finding fails the script; the crashing
# input is left in build-fuzz/artifacts. Exits 77 when it skipped (no clang
# with the libFuzzer runtime).
set -euo pipefail
cd "$(dirname "$0")/.."

fuzz_cxx=${FUZZ_CXX:-clang++}
seconds=${FUZZ_SECONDS:-10}
out=build-fuzz
skip_message="fuzzing skipped: $fuzz_cxx with the libFuzzer runtime not found (packages: clang libclang-rt-14-dev)"

if ! command -v "$fuzz_cxx" >/dev/null 2>&1; then
    echo "$skip_message"
    exit 77
fi
mkdir -p "$out/artifacts"
probe="$out/probe.cpp"
echo 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }' >"$probe"
if ! "$fuzz_cxx" -fsanitize=fuzzer,address,undefined "$probe" -o "$out/probe" >/dev/null 2>&1; then
    echo "$skip_message"
    exit 77
fi

flags=(-std=c++17 -O1 -g -I. -Wall -Wextra -Werror
       -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
shared_sources=(fuzz/fuzz_platform.cpp orvanwriter/frontend/command_line.cpp)

build_target() {
    local name=$1
    "$fuzz_cxx" "${flags[@]}" "fuzz/$name.cpp" "${shared_sources[@]}" -o "$out/$name"
}

run_target() {
    local name=$1 corpus=$2
    local work="$out/corpus/$corpus" log="$out/$name.log"
    mkdir -p "$work"
    cp fuzz/corpus/"$corpus"/* "$work"/
    if ! "$out/$name" -max_total_time="$seconds" -print_final_stats=1 \
            -artifact_prefix="$out/artifacts/$name-" "$work" >"$log" 2>&1; then
        tail -n 40 "$log"
        echo "FAIL: $name found a fault; input in $out/artifacts/, log in $log"
        return 1
    fi
    local runs speed
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    speed=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
    echo "$name: no findings, $runs executions in ${seconds}s ($speed per second), corpus $(ls "$work" | wc -l) inputs"
}

build_target parse_number_fuzz &
first_build=$!
build_target command_line_fuzz
wait "$first_build"

status=0
run_target parse_number_fuzz parse_number || status=1
run_target command_line_fuzz command_line || status=1
exit $status
