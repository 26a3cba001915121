#!/usr/bin/env bash
# scripts/debian-changelog.sh against a table of CHANGELOG.md texts: the
# Debian changelog each must give, or that it must refuse the text.
set -uo pipefail
convert=$(dirname "$0")/../scripts/debian-changelog.sh
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
MAINTAINER="Team <team@example.org>"

# case name | CHANGELOG.md text | expected output, or REFUSED
names=() inputs=() outputs=()
add() { names+=("$1"); inputs+=("$2"); outputs+=("$3"); }

add "two versions, newest first, the preamble left out" \
'# Changes

Some words.

## 1.1 (2026-12-08)

- Second.

## 1.0 (2026-02-28)

- First.
' \
'pkg (1.1) unstable; urgency=medium

  * Second.

 -- Team <team@example.org>  Tue, 08 Dec 2026 00:00:00 +0000

pkg (1.0) unstable; urgency=medium

  * First.

 -- Team <team@example.org>  Sat, 28 Feb 2026 00:00:00 +0000'

add "an item's further lines keep their place under its text; no final line end" \
'## 2.0.1 (2027-01-05)
- One
  two.
- Three' \
'pkg (2.0.1) unstable; urgency=medium

  * One
    two.
  * Three

 -- Team <team@example.org>  Tue, 05 Jan 2027 00:00:00 +0000'

add "a heading without its date" $'## 1.1\n\n- Change.\n' REFUSED
add "a date in another form" $'## 1.1 (8 Dec 2026)\n\n- Change.\n' REFUSED
add "a version that is a word" $'## Next (2026-12-08)\n\n- Change.\n' REFUSED
add "a version without changes" $'## 1.2 (2026-12-09)\n\n## 1.1 (2026-12-08)\n\n- Change.\n' REFUSED
add "text that is no item" $'## 1.1 (2026-12-08)\n\nA paragraph.\n' REFUSED
add "no version at all" $'# Changes\n\n- Change.\n' REFUSED
add "an empty file" '' REFUSED

for i in "${!names[@]}"; do
    printf '%s' "${inputs[$i]}" >"$work/CHANGELOG.md"
    output=$(sh "$convert" "$work/CHANGELOG.md" pkg "$MAINTAINER" 2>"$work/errors")
    status=$?
    if [ "${outputs[$i]}" = REFUSED ]; then
        if [ "$status" -eq 0 ] || ! grep -q "debian-changelog.sh: " "$work/errors"; then
            echo "FAIL: ${names[$i]}: accepted (status $status), output:"$'\n'"$output" >&2
            failures=$((failures + 1))
        fi
    elif [ "$status" -ne 0 ] || [ "$output" != "${outputs[$i]}" ]; then
        echo "FAIL: ${names[$i]}: status $status, errors $(cat "$work/errors"), output:"$'\n'"$output" >&2
        echo "expected:"$'\n'"${outputs[$i]}" >&2
        failures=$((failures + 1))
    fi
done

# The project's own changelog converts, and its newest entry is the version
# CMakeLists.txt gives the build.
source=$(cd "$(dirname "$0")/.." && pwd)
version=$(sed -n 's/^project(orvanwriter VERSION \([^ ]*\).*/\1/p' "$source/CMakeLists.txt")
first=$(sh "$convert" "$source/CHANGELOG.md" orvanwriter "$MAINTAINER" | sed -n 1p)
if [ "$first" != "orvanwriter ($version) unstable; urgency=medium" ]; then
    echo "FAIL: CHANGELOG.md's newest entry is \"$first\", the project's version $version" >&2
    failures=$((failures + 1))
fi

[ "$failures" -eq 0 ] || exit 1
echo "${#names[@]} changelog texts converted or refused as expected; CHANGELOG.md's newest entry is $version"
