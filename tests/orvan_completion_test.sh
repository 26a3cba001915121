#!/usr/bin/env bash
# Sources orvan's bash completion and checks what it offers for a few
# command lines. Usage: orvan_completion_test.sh COMPLETION_FILE
set -euo pipefail
source "$1"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
touch app.bin boot.hex notes.txt
failures=0

# Completes the line's last word (as typed so far) and compares the offers.
expect() {
    local line=$1 want=$2
    read -ra COMP_WORDS <<<"$line"
    [[ $line == *" " ]] && COMP_WORDS+=("")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMPREPLY=()
    _orvan
    local got
    got=$(printf '%s\n' "${COMPREPLY[@]}" | sort | xargs)
    if [ "$got" != "$want" ]; then
        echo "FAIL: '$line' offers '$got', expected '$want'" >&2
        failures=$((failures + 1))
    fi
}

expect "orvan " "erase info list read recipe report run station verify write"
expect "orvan e" "erase"
expect "orvan --c" "--cable"
expect "orvan --cable 0x1101 -q 0 r" "read recipe report run"
expect "orvan --cable " "all"
# The listed cables, from the orvan being typed: a stand-in that lists two.
mkdir "$work.bin"
trap 'rm -rf "$work" "$work.bin"' EXIT
printf '#!/bin/sh\nprintf "index  location    channel  name\\n0      0x1101      A        V\\n1      0x1102      A        V\\n"\n' >"$work.bin/orvan"
chmod +x "$work.bin/orvan"
PATH=$work.bin:$PATH expect "orvan --cable 0x" "0x1101 0x1102"
expect "orvan --log n" "notes.txt"
expect "orvan read --" "--count --force --help --output --sector"
expect "orvan read -o a" "app.bin"
expect "orvan --json verify b" "boot.hex"
expect "orvan verify app.bin@0 " "app.bin boot.hex notes.txt"
expect "orvan write --" "--changed --full --help"
expect "orvan erase --sector " ""
expect "orvan recipe " "check pin"
expect "orvan recipe pin n" "notes.txt"
expect "orvan report --db a" "app.bin"
[ "$(complete -p orvan)" = "complete -o filenames -F _orvan orvan" ] || { echo "FAIL: orvan is not bound" >&2; failures=$((failures + 1)); }
[ "$failures" -eq 0 ] || exit 1
echo "orvan completion: 17 checks passed"
