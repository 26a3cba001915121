#!/usr/bin/env bash
# Checks that a Windows program imports FTCSPI.dll by exactly the adapter
# library's thirteen ordinals and by no name.
# Usage: check_windows_imports.sh PROGRAM.exe [OBJDUMP]
set -euo pipefail
program=$1
objdump=${2:-i686-w64-mingw32-objdump}
expected="5 6 8 10 14 17 20 21 22 31 32 33 34"

# Entries under "DLL Name: FTCSPI.dll" up to the blank line: "vma ordinal name",
# the name being <none> for an import by ordinal.
entries=$("$objdump" -p "$program" | awk '
    /DLL Name:/ { inside = (tolower($3) == "ftcspi.dll"); found = found || inside; next }
    inside && /^[ \t]*$/ { inside = 0 }
    inside && $1 != "vma:" { print $2, $3 }
    END { if (!found) print "missing" }')

if [ "$entries" = "missing" ]; then
    echo "FAIL: $program does not import FTCSPI.dll" >&2
    exit 1
fi
named=$(awk '$2 != "<none>"' <<<"$entries")
ordinals=$(awk '$2 == "<none>" { print $1 }' <<<"$entries" | sort -n | xargs)
status=0
if [ -n "$named" ]; then
    echo "FAIL: FTCSPI.dll functions imported by name (hint, name):" >&2
    echo "$named" >&2
    status=1
fi
if [ "$ordinals" != "$expected" ]; then
    echo "FAIL: FTCSPI.dll ordinals differ" >&2
    echo "  expected: $expected" >&2
    echo "  imported by ordinal: $ordinals" >&2
    echo "  missing:  $(comm -23 <(tr ' ' '\n' <<<"$expected" | sort) <(tr ' ' '\n' <<<"$ordinals" | sort) | sort -n | xargs)" >&2
    echo "  extra:    $(comm -13 <(tr ' ' '\n' <<<"$expected" | sort) <(tr ' ' '\n' <<<"$ordinals" | sort) | sort -n | xargs)" >&2
    status=1
fi
if [ "$status" -eq 0 ]; then
    echo "FTCSPI.dll imports: ordinals $ordinals, no names"
fi
exit "$status"
