#!/usr/bin/env bash
# Installs the build into a temporary prefix, builds tests/library_program.c
# against the installed header and library alone (pkg-config), and runs it
# on the installed virtual adapter: the flash file must hold its two images
# and 0xff elsewhere, byte for byte.
# Usage: library_program_test.sh BUILD_DIR SOURCE_DIR C_COMPILER
set -euo pipefail
build=$1
source=$2
compiler=$3
prefix=$(mktemp -d)
work=$(mktemp -d)
trap 'rm -rf "$prefix" "$work"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
libdir=$(dirname "$(find "$prefix" -name liborvan.pc)")
export PKG_CONFIG_PATH=$libdir
"$compiler" -std=c99 -Wall -Wextra -Werror -o "$work/program" "$source/library_program.c" \
    $(pkg-config --cflags --libs liborvan) -Wl,-rpath,"$(pkg-config --variable=libdir liborvan)"
cd "$work"
LD_LIBRARY_PATH=$prefix/lib/orvanwriter/virtual-adapter VADAPTER_FLASH=flash.bin ./program

head -c 131072 /dev/zero | tr '\0' '\377' >expected.bin
dd if=boot.bin of=expected.bin conv=notrunc status=none
dd if=app.bin of=expected.bin bs=1 seek=$((0x10100)) conv=notrunc status=none
cmp flash.bin expected.bin || { echo "FAIL: the flash is not the images and 0xff" >&2; exit 1; }
echo "the installed liborvan wrote, read, verified and erased through the virtual adapter"
