#!/usr/bin/env bash
# Packs the 32-bit Windows build into build-windows/orvanwriter-windows.zip:
#   orvanwriter.exe
#   README-windows.txt
#   virtual-adapter/FTCSPI.dll   (the stand-in adapter library)
# Configures and builds build-windows first when needed.
set -euo pipefail
cd "$(dirname "$0")/.."
build=build-windows
archive=$build/orvanwriter-windows.zip

if ! command -v zip >/dev/null 2>&1; then
    echo "package-windows.sh needs zip (apt-get install zip)" >&2
    exit 1
fi
if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake >/dev/null
fi
cmake --build "$build" -j"$(nproc)" --target orvanwriter ftcspi >/dev/null

stage=$build/package
rm -rf "$stage" "$archive"
mkdir -p "$stage/virtual-adapter"
cp "$build/orvanwriter.exe" "$stage/"
cp "$build/FTCSPI.dll" "$stage/virtual-adapter/"
# The build keeps debugging information; the package needs none.
i686-w64-mingw32-strip "$stage/orvanwriter.exe" "$stage/virtual-adapter/FTCSPI.dll"
# Windows line ends, for Notepad.
sed 's/$/\r/' >"$stage/README-windows.txt" <<'TEXT'
Orvan Flash Writer for Windows
==============================

orvanwriter.exe writes binary images into the 128 KB flash of the target chip
(8 sectors of 16 KB) through the USB-to-SPI adapter cable, then verifies them.

Setting up
----------
Place the adapter vendor's FTCSPI.dll beside orvanwriter.exe, with the
cable's driver installed. The program needs no other files.

Command line
------------
  orvanwriter -s SECTOR -f FILE [-s SECTOR -f FILE ...] [-q N] [-e]

  -s SECTOR  start sector of an image, 0 to 7
  -f FILE    image file; the n-th -f is written from the n-th -s sector.
             Up to 8 images, written in order. An image may not reach past
             the end of the flash.
  -q N       SPI clock divisor: clock = 30 MHz / (N + 1); the program reports
             the frequency the adapter set. Without -q the adapter's clock is
             left as it is.
  -e         exit at the end instead of waiting for a key

Numbers are decimal or hexadecimal (0x1d). Without any image, or with a
malformed command line, the program shows its usage text.

Example:  orvanwriter -s 0 -f boot.bin -s 2 -f app.bin -e

Exit status
-----------
   0  every image was written and verified
  -1  anything else: usage shown, file not found or too big, adapter not
      found or not connected, wrong flash ID, erase, write or verify error

After a successful run the program waits for a key unless -e is given; after
most errors it waits whatever -e says. It never waits when its input is not a
console (redirected from a file or a pipe).

Trying without hardware
-----------------------
virtual-adapter\FTCSPI.dll is a stand-in for the adapter library with an
emulated cable and target chip. Copy it beside orvanwriter.exe in place of the
vendor's library. Set VADAPTER_FLASH=path to keep the emulated flash in a file
(read when the adapter opens, created erased if missing, saved when it
closes), and VADAPTER_TRACE=path to write a trace of every adapter call:

  set VADAPTER_FLASH=flash.bin
  set VADAPTER_TRACE=trace.txt
  orvanwriter -s 0 -f image.bin -e
TEXT

(cd "$stage" && zip -q -X -D -r "../$(basename "$archive")" orvanwriter.exe README-windows.txt virtual-adapter)
echo "$archive"
