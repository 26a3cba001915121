#!/usr/bin/env bash
# Builds the program and writes a sample image to the virtual adapter in its
# real-time mode, then shows where the image landed in the virtual flash.
set -euo pipefail
# The source tree the script lies in, also when it is reached through a link.
cd "$(dirname "$(readlink -f "$0")")/.."

step() { echo "-- $*"; }

# The packages the build needs, installed or named before anything is built.
bash scripts/setup.sh build </dev/null

if [ -f build/CMakeCache.txt ]; then
    step "configure: build/ is already configured"
else
    step "configure build/ (first run only, a few seconds)"
fi
cmake --preset default >/dev/null
step "build the program and the virtual adapter"
# The build's own progress, one line per file it compiles or links; a build
# that is up to date prints nothing here.
: >build/demo-build.log
cmake --build build -j"$(nproc)" --target orvanwriter ftcspi >build/demo-build.log 2>&1 &
builder=$!
tail -n +1 -f --pid="$builder" build/demo-build.log | grep --line-buffered -E "Building|Linking|error" | sed -u 's/^/   /' || true
if ! wait "$builder"; then
    cat build/demo-build.log >&2
    exit 1
fi

demo=build/demo
mkdir -p "$demo"
# A 40000-byte sample image: more than two 16 KB sectors.
head -c 40000 < <(yes "Orvan sample image, written at sector 2. ") >"$demo/sample.bin"
rm -f "$demo/flash.bin"
step "write $demo/sample.bin (40000 bytes) at sector 2 through the virtual adapter"
echo

VADAPTER_FLASH="$demo/flash.bin" VADAPTER_REALTIME=1 \
    ./build/orvanwriter -s 2 -f "$demo/sample.bin" -e
echo
echo
offset=$((2 * 16384))
echo "Virtual flash file $demo/flash.bin, from sector 2 (offset $offset):"
od -A x -t x1z -j "$offset" -N 64 "$demo/flash.bin"
if cmp -s -n 40000 "$demo/sample.bin" <(tail -c +$((offset + 1)) "$demo/flash.bin"); then
    echo "The flash holds all 40000 bytes of the image at offset $offset; the rest reads erased (ff):"
    od -A x -t x1z -j $((offset + 40000)) -N 16 "$demo/flash.bin"
else
    echo "The flash does not hold the image at offset $offset" >&2
    exit 1
fi
