#!/usr/bin/env bash
# Builds the 32-bit Windows programs (orvanwriter.exe, orvan.exe) and the
# virtual adapter's FTCSPI.dll with MinGW-w64, checks that both import
# FTCSPI.dll by ordinal only, packages them (cpack in build-windows), and runs
# the end-to-end tests of both on a Windows build under Wine:
# the 32-bit one where this host runs 32-bit programs, otherwise a 64-bit
# build of the same sources under the 64-bit Wine loader.
#
# Environment (for tests of this script; the defaults suit Debian's Wine):
#   ORVAN_WINE32     the 32-bit Wine loader (/usr/lib/wine/wine, else wine);
#                    not Debian's wine wrapper, which falls back to wine64
#   ORVAN_WINE64     the 64-bit Wine loader (/usr/lib/wine/wine64)
#   ORVAN_WINESERVER64   its server (/usr/lib/wine/wineserver64)
#   ORVAN_WINDOWS_TEST_FILTER   a gtest filter for the end-to-end table (all)
#   ORVAN_WINE_PROBE_SECONDS, ORVAN_WINE_SETUP_SECONDS   time limits of the
#                    loader probe (20) and of a new prefix's first run (180)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
jobs=$(nproc)
started=$(date +%s)

# Debian's wrapper "wine" runs the 64-bit loader when wine32 is missing, so
# where Debian's loaders live only the 32-bit one itself counts.
if [ -n "${ORVAN_WINE32:-}" ]; then
    wine32=$ORVAN_WINE32
elif [ -x /usr/lib/wine/wine ] || [ -x /usr/lib/wine/wine64 ]; then
    wine32=/usr/lib/wine/wine
else
    wine32=wine
fi
wine64=${ORVAN_WINE64:-/usr/lib/wine/wine64}
wineserver64=${ORVAN_WINESERVER64:-/usr/lib/wine/wineserver64}
probeSeconds=${ORVAN_WINE_PROBE_SECONDS:-20}
setupSeconds=${ORVAN_WINE_SETUP_SECONDS:-180}
filter=${ORVAN_WINDOWS_TEST_FILTER:-*}
packages="g++-mingw-w64-i686 mingw-w64-i686-dev g++-mingw-w64-x86-64 mingw-w64-x86-64-dev wine wine64 (and wine32:i386 after dpkg --add-architecture i386)"

have() { command -v "$1" >/dev/null 2>&1; }

# Runs a Wine call with a time limit; past it, says which call and how long
# it waited. Usage: bounded SECONDS LABEL COMMAND...
bounded() {
    local seconds=$1 label=$2 status=0
    shift 2
    timeout --kill-after=5 "$seconds" "$@" || status=$?
    if [ "$status" -eq 124 ] || [ "$status" -eq 137 ]; then
        echo "FAIL: $label did not finish within $seconds s" >&2
    fi
    return "$status"
}

# 0 when the loader runs a program on this host. A kernel without 32-bit
# emulation refuses the 32-bit loader with "Exec format error" (exit 126).
loaderRuns() {
    local loader=$1
    have "$loader" || [ -x "$loader" ] || return 1
    bounded "$probeSeconds" "probe: $loader --version" "$loader" --version </dev/null >/dev/null 2>&1
}

crossBuild() {
    local folder=$1 toolchain=$2
    cmake --no-warn-unused-cli -S . -B "$folder" -DCMAKE_TOOLCHAIN_FILE="$toolchain" >/dev/null
    cmake --build "$folder" -j"$jobs"
}

if ! have i686-w64-mingw32-g++ && ! have x86_64-w64-mingw32-g++ && ! have "$wine32" && ! [ -x "$wine64" ]; then
    echo "Windows tests skipped: install $packages"
    exit 77
fi
if ! have i686-w64-mingw32-g++; then
    echo "FAIL: the 32-bit cross compiler is missing: install g++-mingw-w64-i686 mingw-w64-i686-dev" >&2
    exit 1
fi

echo "-- cross build (build-windows, 32-bit)"
crossBuild build-windows cmake/mingw-i686.cmake

echo "-- imports of orvanwriter.exe and orvan.exe"
bash tests/check_windows_imports.sh build-windows/orvanwriter.exe
bash tests/check_windows_imports.sh build-windows/orvan.exe

echo "-- package"
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build-windows/CMakeCache.txt)
package=build-windows/orvanwriter-$version-windows-x86.zip
rm -f "$package"
(cd build-windows && cpack >/dev/null)
echo "$package: $(stat -c %s "$package") bytes"
listed=$(unzip -Z1 "$package" | grep -v "/$" | LC_ALL=C sort | xargs)
if [ "$listed" != "README-windows.txt changelog.txt copyright.txt orvan.exe orvanwriter.exe virtual-adapter/FTCSPI.dll" ]; then
    echo "FAIL: the package holds: $listed" >&2
    exit 1
fi

echo "-- which Windows build this host runs"
if loaderRuns "$wine32"; then
    wine=$wine32
    wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)
    folder=build-windows
    run="32-bit build under $wine32; this host runs 32-bit programs"
elif loaderRuns "$wine64"; then
    if ! have x86_64-w64-mingw32-g++; then
        echo "FAIL: this host runs no 32-bit programs, and the 64-bit cross compiler is missing: install g++-mingw-w64-x86-64 mingw-w64-x86-64-dev" >&2
        exit 1
    fi
    wine=$wine64
    wineserver=$wineserver64
    folder=build-windows64
    run="64-bit build under wine64; no 32-bit Wine runs programs here"
    echo "-- cross build (build-windows64, 64-bit test vehicle)"
    crossBuild build-windows64 cmake/mingw-x86_64.cmake
else
    echo "FAIL: no Wine loader runs here: '$wine32 --version' and '$wine64 --version' both failed; install $packages" >&2
    exit 1
fi
echo "Windows end-to-end tests: $run"

cmake -S . -B build -DORVAN_TESTS=ON >/dev/null
cmake --build build -j"$jobs" --target orvanwriter_program_tests orvan_command_tests

# A prefix of our own, so that stopping its server touches no other Wine
# program. One persistent server for all runs: without it every run starts a
# server and Wine's services, which hold the caller's output open for seconds.
export WINEPREFIX=$root/$folder/wine-prefix
export WINEDEBUG=-all
export WINESERVER=$wineserver
mkdir -p "$WINEPREFIX"
stopWine() {
    timeout 20 "$wineserver" -k >/dev/null 2>&1 || true
    timeout 20 "$wineserver" -w >/dev/null 2>&1 || true
}
trap stopWine EXIT
# Returns once the server is listening; it runs on in the background, away
# from our output.
bounded "$probeSeconds" "$wineserver -p" "$wineserver" -p </dev/null >/dev/null 2>&1
# The first run sets the prefix up and starts Wine's services, which stay
# with the server; their output goes to the log, not to ours.
firstRun=$folder/wine-first-run.log
bounded "$setupSeconds" "the first run of $folder/orvanwriter.exe under $wine (prefix set-up)" \
    "$wine" "$folder/orvanwriter.exe" </dev/null >"$firstRun" 2>&1 || true
if ! grep -q "Orvan Flash Writer" "$firstRun"; then
    echo "FAIL: $wine cannot run $folder/orvanwriter.exe:" >&2
    cat "$firstRun" >&2
    exit 1
fi

# The same test table as for the Linux program; each run has the runner's
# time limit.
ORVAN_PROGRAM=$root/$folder/orvanwriter.exe ORVAN_PROGRAM_WRAPPER=$wine \
    build/orvanwriter_program_tests --gtest_brief=1 --gtest_filter="$filter"
# orvan.exe by the same runner: list, info, read, verify and erase, their
# faults, cables and --json, against the same stand-in FTCSPI.dll.
ORVAN_PROGRAM=$root/$folder/orvan.exe ORVAN_PROGRAM_WRAPPER=$wine \
    build/orvan_command_tests --gtest_brief=1 --gtest_filter="$filter"
# orvan on two cables at once: a worker process per cable (CreateProcess),
# each cable with its own flash file.
echo "-- orvan.exe write --cable all on two cables"
cables=$(mktemp -d)
head -c 131072 /dev/urandom >"$cables/image.bin"
status=0
(cd "$cables" && VADAPTER_DEVICES='Vexil USB-SPI Cable|A|0x1101;Vexil USB-SPI Cable|A|0x1102' \
    VADAPTER_FLASH='flash-{location}.bin' bounded 60 "orvan.exe --cable all write" \
    "$wine" "$root/$folder/orvan.exe" --cable all write image.bin@0 </dev/null >output.txt 2>&1) || status=$?
for location in 1101 1102; do
    if [ "$status" -ne 0 ] || ! cmp -s "$cables/image.bin" "$cables/flash-$location.bin"; then
        echo "FAIL: orvan.exe --cable all write: status $status; flash-$location.bin is not the image:" >&2
        cat "$cables/output.txt" >&2
        exit 1
    fi
done
rm -rf "$cables"

echo "-- Windows tests passed in $(($(date +%s) - started)) s ($run)"
