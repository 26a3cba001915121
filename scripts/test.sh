#!/usr/bin/env bash
# Builds and runs every test: the plain build, the sanitizer build, the fuzz
# targets and, where the cross compiler and Wine are installed, the Windows
# program under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

echo "== sanitizer build (AddressSanitizer, UndefinedBehaviorSanitizer)"
cmake -S . -B build-asan -DORVAN_SANITIZE=ON -DORVAN_TESTS=ON -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build build-asan -j"$jobs"
ctest --test-dir build-asan -j"$jobs" --output-on-failure

if [ -x scripts/fuzz.sh ] || [ -f scripts/fuzz.sh ]; then
    echo "== fuzz targets"
    bash scripts/fuzz.sh
fi

if [ -f scripts/test-windows.sh ]; then
    echo "== Windows build under Wine"
    bash scripts/test-windows.sh
fi

echo "== plain build"
cmake -S . -B build -DORVAN_TESTS=ON >/dev/null
cmake --build build -j"$jobs"
ctest --test-dir build -j"$jobs" --output-on-failure
