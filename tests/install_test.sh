#!/usr/bin/env bash
# Installs the build into a temporary prefix and runs the installed program
# from another folder: a whole write through the installed virtual adapter,
# and the plain program finding its default adapter library.
# Usage: install_test.sh BUILD_DIR
set -euo pipefail
build=$1
prefix=$(mktemp -d)
work=$(mktemp -d)
trap 'rm -rf "$prefix" "$work"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null

head -c 20000 /dev/urandom >"$work/image.bin"
cd "$work"
output=$(VADAPTER_FLASH=flash.bin "$prefix/bin/orvanwriter-virtual" -s 1 -f image.bin -e </dev/null)
case $output in
    *"Data verify OK"*"===== Flash Write Completed =========") ;;
    *) echo "FAIL: the installed program's write: $output" >&2; exit 1 ;;
esac
cmp -n 20000 image.bin <(tail -c +16385 flash.bin) || { echo "FAIL: the image is not in the flash file" >&2; exit 1; }
[ "$(head -c 16384 flash.bin | tr -d '\377' | wc -c)" -eq 0 ] || { echo "FAIL: sector 0 was touched" >&2; exit 1; }

# Without arguments the program only needs to start: its library is found.
usage=$("$prefix/bin/orvanwriter" </dev/null || true)
grep -q "^USAGE:" <<<"$usage" || { echo "FAIL: the installed orvanwriter does not start" >&2; exit 1; }
# orvan beside it finds the same library, and reads the flash back.
LD_LIBRARY_PATH=$prefix/lib/orvanwriter/virtual-adapter VADAPTER_FLASH=flash.bin "$prefix/bin/orvan" --quiet read -o copy.bin
cmp copy.bin flash.bin || { echo "FAIL: the installed orvan's read differs from the flash" >&2; exit 1; }
"$prefix/bin/orvan" --version | grep -q "^orvan v" || { echo "FAIL: the installed orvan does not start" >&2; exit 1; }
for file in share/man/man1/orvanwriter.1.gz share/man/man1/orvanwriter-virtual.1.gz share/doc/orvanwriter/README.md \
    share/doc/orvanwriter/changelog.gz share/doc/orvanwriter/copyright share/man/man1/orvan.1.gz share/man/man5/orvan-recipe.5.gz \
    share/bash-completion/completions/orvan; do
    [ -f "$prefix/$file" ] || { echo "FAIL: $file is not installed" >&2; exit 1; }
done
echo "installed program wrote 20000 bytes at sector 1 through the installed virtual adapter"
