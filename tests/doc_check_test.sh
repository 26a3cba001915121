#!/usr/bin/env bash
# scripts/doc-check.sh against a table of small document trees: which
# examples it runs and how they must end, which blocks it leaves alone, which
# markings and links it refuses. Each case is a README.md, an optional
# doc/a.md, whether the check must pass, and a text its output must hold.
set -uo pipefail
check=$(cd "$(dirname "$0")/.." && pwd)/scripts/doc-check.sh
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
F='```'

names=() readmes=() docs=() statuses=() texts=()
add() { names+=("$1"); readmes+=("$2"); docs+=("$3"); statuses+=("$4"); texts+=("$5"); }

# Examples: run, with -e and pipefail, each in a fresh folder.
add "a passing example" "$F"$'sh\ntrue\n'"$F" "" pass "1 shell examples run"
add "a failing example" "$F"$'sh\nfalse\n'"$F" "" fail "the example ended with status 1"
add "a failing line before a passing one" "$F"$'sh\nfalse\ntrue\n'"$F" "" fail "ended with status 1"
add "a failing command inside a pipe" "$F"$'sh\nfalse | cat\n'"$F" "" fail "ended with status 1"
add "an example's output shown when it fails" "$F"$'sh\necho said-this\nexit 3\n'"$F" "" fail "said-this"
add "the folder an example runs in" \
    "$F"$'sh\n[ "$(wc -c <image.bin)" -eq 300 ] && [ "$(od -A n -t u1 -j 299 -N 1 image.bin | xargs)" = 43 ]\ntest -f README.md && test -L build && test -f build/marker\n'"$F" \
    "" pass "1 shell examples run"
add "each example in a folder of its own" \
    "$F"$'sh\ntouch left-over\n'"$F"$'\n\n'"$F"$'sh\n! test -e left-over\n'"$F" "" pass "2 shell examples run"
add "no VADAPTER_ variable of the caller" "$F"$'sh\n[ -z "${VADAPTER_FLASH:-}${VUSB_DEVICES:-}" ]\n'"$F" "" pass "1 shell examples run"
add "a block in a list, indented" $'- item:\n\n   '"$F"$'sh\n   true\n   '"$F" "" pass "1 shell examples run"
add "a longer fence holds a shorter one" $'````sh\necho \'```\'\n````' "" pass "1 shell examples run"

# Markings: what is not run, and what is refused.
add "hardware, root and build examples not run" \
    "$F"$'sh hardware\nfalse\n'"$F"$'\n'"$F"$'sh root\nfalse\n'"$F"$'\n'"$F"$'sh build\nfalse\n'"$F" "" pass "0 shell examples run, 3 not run"
add "an example needing a missing program" "$F"$'sh needs=no-such-program-here\nfalse\n'"$F" "" pass "no-such-program-here is not installed"
add "an example needing an installed program is run" "$F"$'sh needs=sh\nfalse\n'"$F" "" fail "ended with status 1"
add "a text block not run" "$F"$'text\nfalse\n'"$F" "" pass "1 other blocks"
add "a block without an info string" "$F"$'\ntrue\n'"$F" "" fail "without an info string"
add "a misspelt marking" "$F"$'sh hardwre\ntrue\n'"$F" "" fail "unknown marking"
add "a block never closed" "$F"$'sh\ntrue\n' "" fail "not closed"

# Links between the documents.
add "a link to a document that exists" "[more](doc/a.md)" "# A" pass "1 links followed"
add "a link to a document that does not" "see [more](doc/b.md)." "# A" fail "the link doc/b.md names no file"
add "a link back to a heading" $'## Use\n' $'[back](../README.md#use)' pass "1 links followed"
add "a link to a heading that does not exist" $'## Use\n\n[x](#usage)' "" fail "names no heading"
add "a heading with punctuation and capitals" \
    $'## Real hardware, on Linux & macOS (tried)\n\n[x](#real-hardware-on-linux--macos-tried)' "" pass "1 links followed"
add "a repeated heading" $'## Notes\n\n## Notes\n\n[x](#notes-1)' "" pass "1 links followed"
add "a third heading of a name" $'## Notes\n\n## Notes\n\n[x](#notes-2)' "" fail "names no heading"
add "a link to a folder" "[docs](doc)" "# A" pass "1 links followed"
add "a link with a scheme not followed" "[site](https://example.org/none.md) [m](mailto:a@b.example)" "" pass "0 links followed"
add "a link in inline code not followed" 'write `[x](nowhere.md)` so' "" pass "0 links followed"
add "a link in a code block not followed" "$F"$'text\n[x](nowhere.md)\n'"$F" "" pass "0 links followed"
add "a reference link to nothing" $'[x]: doc/none.md' "" fail "the link doc/none.md names no file"

for i in "${!names[@]}"; do
    tree=$work/case$i
    mkdir -p "$tree/doc" "$tree/build"
    touch "$tree/build/marker"
    printf '%s\n' "${readmes[$i]}" >"$tree/README.md"
    [ -z "${docs[$i]}" ] || printf '%s\n' "${docs[$i]}" >"$tree/doc/a.md"
    output=$(VADAPTER_FLASH=set VUSB_DEVICES=set bash "$check" "$tree" "$tree/build" 2>&1)
    status=$([ $? -eq 0 ] && echo pass || echo fail)
    if [ "$status" != "${statuses[$i]}" ] || ! grep -qF -- "${texts[$i]}" <<<"$output"; then
        echo "FAIL: ${names[$i]}: the check ended in $status (expected ${statuses[$i]}, saying \"${texts[$i]}\"):" >&2
        sed 's/^/    /' <<<"$output" >&2
        failures=$((failures + 1))
    fi
done
[ "$failures" -eq 0 ] || exit 1
echo "${#names[@]} document trees checked as expected"
