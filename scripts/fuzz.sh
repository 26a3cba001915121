#!/usr/bin/env bash
# Builds the libFuzzer targets with the "fuzz" preset (clang, address and
# undefined-behaviour sanitizers, build-fuzz) and lets ctest run each for
# FUZZ_SECONDS (default 10). Any finding fails; the crashing input is left in
# build-fuzz/artifacts. Exits 77 when it skipped (no clang with the libFuzzer
# runtime).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${FUZZ_SECONDS:-10}
skip_message="fuzzing skipped: clang++ with the libFuzzer runtime not found (packages: clang libclang-rt-14-dev)"

probe=$(mktemp -d)
trap 'rm -rf "$probe"' EXIT
echo 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }' >"$probe/probe.cpp"
if ! command -v clang++ >/dev/null 2>&1 ||
    ! clang++ -fsanitize=fuzzer,address,undefined "$probe/probe.cpp" -o "$probe/probe" >/dev/null 2>&1; then
    echo "$skip_message"
    exit 77
fi
cmake --preset fuzz -DORVAN_FUZZ_SECONDS="$seconds" >/dev/null
cmake --build --preset fuzz
ctest --preset fuzz --verbose | grep -E "no findings|FAIL|tests passed|tests failed"
