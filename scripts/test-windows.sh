#!/usr/bin/env bash
# Builds the 32-bit Windows program and the virtual adapter's FTCSPI.dll with
# MinGW-w64, checks that the program imports FTCSPI.dll by ordinal only,
# packages it, and runs the end-to-end tests on it through Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
jobs=$(nproc)
started=$(date +%s)

if ! command -v i686-w64-mingw32-g++ >/dev/null 2>&1 || ! command -v wine >/dev/null 2>&1; then
    echo "Windows tests skipped: install g++-mingw-w64-i686 mingw-w64-i686-dev wine wine32:i386 (after dpkg --add-architecture i386)"
    exit 0
fi

echo "-- cross build (build-windows)"
cmake --no-warn-unused-cli -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake >/dev/null
cmake --build build-windows -j"$jobs"

echo "-- imports of orvanwriter.exe"
bash tests/check_windows_imports.sh build-windows/orvanwriter.exe

echo "-- package"
bash scripts/package-windows.sh
listed=$(unzip -Z1 build-windows/orvanwriter-windows.zip | sort | xargs)
if [ "$listed" != "README-windows.txt orvanwriter.exe virtual-adapter/FTCSPI.dll" ]; then
    echo "FAIL: the package holds: $listed" >&2
    exit 1
fi

echo "-- end-to-end tests through Wine"
cmake -S . -B build -DORVAN_TESTS=ON >/dev/null
cmake --build build -j"$jobs" --target orvan_program_tests

# A prefix of our own, so that stopping its server touches no other Wine
# program. One persistent server for all runs: without it every run starts a
# server and Wine's services, which hold the caller's output open for seconds.
export WINEPREFIX=$root/build-windows/wine-prefix
export WINEDEBUG=-all
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)
mkdir -p "$WINEPREFIX"
stopWine() {
    "$wineserver" -k >/dev/null 2>&1 || true
    "$wineserver" -w >/dev/null 2>&1 || true
}
trap stopWine EXIT
# Returns once the server is listening; it runs on in the background, away
# from our output.
"$wineserver" -p </dev/null >/dev/null 2>&1
# The first run sets the prefix up and starts Wine's services, which stay
# with the server; their output goes to the log, not to ours.
firstRun=build-windows/wine-first-run.log
wine build-windows/orvanwriter.exe </dev/null >"$firstRun" 2>&1 || true
if ! grep -q "Orvan Flash Writer" "$firstRun"; then
    echo "FAIL: Wine cannot run build-windows/orvanwriter.exe (is wine32:i386 installed?):" >&2
    cat "$firstRun" >&2
    exit 1
fi

# The same test table as for the Linux program.
ORVAN_PROGRAM=$root/build-windows/orvanwriter.exe ORVAN_PROGRAM_WRAPPER=wine \
    build/orvan_program_tests --gtest_brief=1
echo "-- Windows tests passed in $(($(date +%s) - started)) s"
