#!/usr/bin/env bash
# Installs the Debian packages of scripts/packages.txt that this machine
# lacks. Usage: setup.sh [build|test] (default test: every package).
# As root with apt-get it installs them and names them; otherwise it prints
# the one command to run and exits 1. A machine that has them all is left
# alone at the cost of one dpkg-query; so is one that lacks only the
# optional 32-bit packages, which it names.
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

nativePackages=()
foreign=()
for package in "${missing[@]}"; do
    case $package in
        *:i386) foreign+=("$package") ;;
        *) nativePackages+=("$package") ;;
    esac
done
# The 32-bit packages serve only the 32-bit run of the Windows stage, which
# falls back to the 64-bit build without them. Missing alone, they are named
# and not installed, so that a machine whose i386 index cannot be had loses
# no time on every run.
if [ ${#nativePackages[@]} -eq 0 ]; then
    echo "set-up: ${foreign[*]} is not installed, so the Windows stage runs its 64-bit build;" \
        "as root: dpkg --add-architecture i386 && apt-get update && apt-get install ${foreign[*]}"
    exit 0
fi

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

# A mirror in the middle of a sync fails one index now and then; the others
# still load, so a failed update is tried again, then used as it is.
refreshIndexes() {
    local try
    for try in 1 2; do
        apt-get update -qq </dev/null && return 0
        echo "set-up: apt-get update failed (try $try of 2)" >&2
        [ "$try" -lt 2 ] && sleep 5
    done
    return 0
}

install() { apt-get install -y -qq --no-install-recommends "$@" </dev/null >/dev/null; }

refreshIndexes
if ! install "${nativePackages[@]}"; then
    refreshIndexes
    install "${nativePackages[@]}" || {
        echo "set-up: could not install ${nativePackages[*]}" >&2
        exit 1
    }
fi
# A stale i386 index must not stop every other test.
if [ ${#foreign[@]} -gt 0 ] && ! install "${foreign[@]}"; then
    echo "set-up: could not install ${foreign[*]}; the Windows stage will use its 64-bit build" >&2
fi
echo "set-up: installed"
