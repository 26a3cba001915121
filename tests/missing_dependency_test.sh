#!/usr/bin/env bash
# A configure without one of the required packages stops, naming the Debian
# package that holds it. Usage: missing_dependency_test.sh SOURCE_DIR
set -uo pipefail
source=$1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failed=0
# package for find_package, Debian package
while read -r name debian; do
    output=$(cmake -S "$source" -B "$scratch/$name" -DORVAN_TESTS=ON \
        -DCMAKE_DISABLE_FIND_PACKAGE_"$name"=TRUE 2>&1)
    status=$?
    if [ "$status" -eq 0 ] || ! grep -q "$name not found: install the Debian package $debian\$" <<<"$output"; then
        echo "FAIL: without $name the configure ended with status $status and said:" >&2
        echo "$output" | grep -v '^--' >&2
        failed=1
    fi
done <<'TABLE'
CLI11 libcli11-dev
nlohmann_json nlohmann-json3-dev
GTest libgtest-dev
TABLE
[ "$failed" -eq 0 ] && echo "each missing package stops the configure and is named"
exit "$failed"
