#!/usr/bin/env bash
# Makes the .deb with cpack and runs Debian's package checker on it: any error
# (E:) or warning (W:) line fails, and so does any hardening tag, which
# lintian gives as information (I:) only. Without lintian the test says so
# and skips (status 77). Usage: lintian_test.sh BUILD_DIR
set -euo pipefail
SKIPPED_STATUS=77
if ! command -v lintian >/dev/null; then
    echo "lintian is not installed (Debian package lintian): the .deb is not checked"
    exit "$SKIPPED_STATUS"
fi
build=$(cd "$1" && pwd)
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
(cd "$out" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$out" >/dev/null)
deb=$(ls "$out"/*.deb)
# As root lintian first says it should not be run so: not a tag.
report=$(lintian --display-info "$deb" 2>&1 | grep -v '^running with root privileges' || true)
echo "$report"
failing=$(grep -E '^[EW]: |^I: [^ ]+ hardening-' <<<"$report" || true)
if [ -n "$failing" ]; then
    echo "FAIL: lintian on $(basename "$deb"):" >&2
    echo "$failing" >&2
    exit 1
fi
echo "$(lintian --version): no error, warning or hardening tag on $(basename "$deb")"
