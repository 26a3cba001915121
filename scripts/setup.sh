#!/usr/bin/env bash
# Installs the Debian packages of scripts/packages.txt that this machine
# lacks. Usage: setup.sh [build|test] (default test: every package).
# As root with apt-get it installs them and names them; otherwise it prints
# the one command to run and exits 1. A machine that has them all is left
# alone at the cost of one dpkg-query.
set -euo pipefail
cd "$(dirname "$(readlink -f "$0")")/.."
group=${1:-test}
case $group in
    build | test) ;;
    *)
        echo "usage: setup.sh [build|test]" >&2
        exit 2
        ;;
esac

# The packages of the group: build's alone, or every one for test.
wanted=$(sed -e 's/#.*//' scripts/packages.txt | awk -v group="$group" \
    'NF >= 2 && (group == "test" || $2 == group) { print $1 }')

if ! command -v dpkg-query >/dev/null 2>&1; then
    echo "set-up: not a Debian system; install the equivalents of:" $wanted >&2
    exit 0
fi

installed=$(dpkg-query -W -f='${binary:Package} ${db:Status-Abbrev}\n' 2>/dev/null |
    awk '$2 == "ii" { print $1 }')
native=$(dpkg --print-architecture)
missing=()
for package in $wanted; do
    # dpkg names a package of the native architecture without a suffix.
    if ! grep -qx -e "$package" -e "$package:$native" <<<"$installed"; then
        missing+=("$package")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

needsI386=no
if printf '%s\n' "${missing[@]}" | grep -q ':i386$' &&
    ! dpkg --print-foreign-architectures | grep -qx i386 &&
    [ "$native" != i386 ]; then
    needsI386=yes
fi

if [ "$(id -u)" -ne 0 ] || ! command -v apt-get >/dev/null 2>&1; then
    command="apt-get update && apt-get install -y --no-install-recommends ${missing[*]}"
    [ "$needsI386" = yes ] && command="dpkg --add-architecture i386 && $command"
    echo "set-up: missing ${missing[*]}; as root, run:" >&2
    echo "  $command" >&2
    exit 1
fi

echo "set-up: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
[ "$needsI386" = yes ] && dpkg --add-architecture i386
apt-get update -qq </dev/null
apt-get install -y -qq --no-install-recommends "${missing[@]}" </dev/null >/dev/null
echo "set-up: installed"
