#!/usr/bin/env bash
# Installs the build into a temporary prefix and runs the orvan module's
# tests (test_orvan_module.py) on the installed module and library, through
# the installed virtual adapter. Usage: library_python_test.sh BUILD_DIR PYTHON
set -euo pipefail
build=$1
python=$2
prefix=$(mktemp -d)
work=$(mktemp -d)
trap 'rm -rf "$prefix" "$work"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
cd "$work"
PYTHONPATH=$prefix/lib/python3/dist-packages LD_LIBRARY_PATH=$prefix/lib/orvanwriter/virtual-adapter \
    VADAPTER_FLASH=$work/flash.bin PYTHONDONTWRITEBYTECODE=1 \
    "$python" -m pytest -q -p no:cacheprovider "$(dirname "$(readlink -f "$0")")/test_orvan_module.py"
