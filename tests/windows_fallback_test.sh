#!/usr/bin/env bash
# Checks the Windows stage itself, with stand-in Wine commands on its path:
# 1. a 32-bit Wine that the kernel refuses (exit 126, as on hosts without
#    32-bit emulation) makes it choose the 64-bit build under wine64, and the
#    end-to-end cases pass there;
# 2. an end-to-end case that fails (a wine64 that alters the program's output)
#    makes the stage report failed and the test command exit non-zero.
# Exits 77 (skipped) where no 64-bit Wine loader or cross compiler is here.
set -uo pipefail
cd "$(dirname "$0")/.."
wine64=/usr/lib/wine/wine64
if ! [ -x "$wine64" ] || ! command -v x86_64-w64-mingw32-g++ >/dev/null 2>&1 ||
    ! command -v i686-w64-mingw32-g++ >/dev/null 2>&1; then
    echo "Windows fallback checks skipped: install wine64 g++-mingw-w64-x86-64 g++-mingw-w64-i686"
    exit 77
fi

fakes=$(mktemp -d)
trap 'rm -rf "$fakes"' EXIT
cat >"$fakes/wine32-refused" <<'EOF'
#!/bin/sh
echo "/usr/lib/wine/wine: Exec format error" >&2
exit 126
EOF
cat >"$fakes/wine64-altering" <<EOF
#!/usr/bin/env bash
"$wine64" "\$@" | sed 's/Data verify OK/Data verify KO/'
exit "\${PIPESTATUS[0]}"
EOF
chmod +x "$fakes"/*
# One case that writes and verifies, one that only parses.
cases='ProgramTest.ProgressLinesOfAnImageOfOneSector:ProgramTest.ParserErrorsStopWithoutTheUsage'
failures=0

check() {
    local what=$1
    shift
    if "$@"; then
        echo "ok: $what"
    else
        echo "FAIL: $what"
        failures=$((failures + 1))
    fi
}

log=$fakes/refused.log
ORVAN_WINE32=$fakes/wine32-refused ORVAN_WINDOWS_TEST_FILTER=$cases \
    bash scripts/test-windows.sh >"$log" 2>&1
status=$?
check "refused 32-bit Wine: the stage passes (status $status)" test "$status" -eq 0
check "refused 32-bit Wine: the 64-bit run is chosen and said" \
    grep -qx "Windows end-to-end tests: 64-bit build under wine64; no 32-bit Wine runs programs here" "$log"
check "refused 32-bit Wine: both cases ran and passed" grep -q "PASSED  \] 2 tests" "$log"
[ "$failures" -eq 0 ] || cat "$log"

log=$fakes/failing.log
ORVAN_WINE32=$fakes/wine32-refused ORVAN_WINE64=$fakes/wine64-altering ORVAN_WINDOWS_TEST_FILTER=$cases \
    ORVAN_STAGES=windows bash scripts/test.sh >"$log" 2>&1
status=$?
check "failing Windows case: the test command exits non-zero (status $status)" test "$status" -ne 0
check "failing Windows case: exactly that case failed" grep -q "FAILED  \] ProgramTest.ProgressLinesOfAnImageOfOneSector" "$log"
check "failing Windows case: the summary reports the stage failed" grep -Eq "^windows +failed" "$log"
check "failing Windows case: the closing line counts it" grep -qx "stages: 0 passed, 1 failed, 0 skipped" "$log"
[ "$failures" -eq 0 ] || cat "$log"

echo "$((7 - failures)) passed, $failures failed"
[ "$failures" -eq 0 ]
