#!/usr/bin/env bash
# Makes the Linux packages with cpack and checks their names (with the
# version), their files against the expected lists, the .deb's declared
# dependencies, and that the banner, the package names and the man page carry
# the same version. Usage: package_test.sh BUILD_DIR VERSION
set -euo pipefail
build=$(cd "$1" && pwd)
version=$2
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

(cd "$out" && cpack --config "$build/CPackConfig.cmake" -B "$out" >/dev/null)
arch=$(uname -m)
tgz=$out/orvanwriter-$version-linux-$arch.tar.gz
deb=$(ls "$out"/orvanwriter_"$version"_*.deb 2>/dev/null || true)
[ -f "$tgz" ] || fail "no $(basename "$tgz"); made: $(ls "$out")"
[ -n "$deb" ] || fail "no orvanwriter_${version}_*.deb; made: $(ls "$out")"
[ "$failures" -eq 0 ] || exit 1

hardware=$([ -f "$build/mpsse/libftcspi.so" ] && echo yes || echo no)
expected() {
    local root=$1
    printf '%s\n' "${root}bin/orvanwriter" "${root}bin/orvanwriter-virtual" \
        "${root}lib/orvanwriter/libftcspi.so" "${root}lib/orvanwriter/virtual-adapter/libftcspi.so" \
        "${root}share/doc/orvanwriter/README.md" "${root}share/man/man1/orvanwriter.1" \
        "${root}bin/orvan" "${root}share/man/man1/orvan.1" "${root}share/bash-completion/completions/orvan"
    if [ "$hardware" = yes ]; then
        echo "${root}lib/udev/rules.d/60-vexil-cable.rules"
    fi
}
listed=$(tar tzf "$tgz" | grep -v '/$' | sort)
want=$(expected "orvanwriter-$version-linux-$arch/" | sort)
[ "$listed" = "$want" ] || fail "the archive holds"$'\n'"$listed"$'\n'"expected"$'\n'"$want"
listed=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $6 }' | sed 's#^\./##' | sort)
want=$(expected "usr/" | sort)
[ "$listed" = "$want" ] || fail "the .deb holds"$'\n'"$listed"$'\n'"expected"$'\n'"$want"

depends=$(dpkg-deb -f "$deb" Depends)
needed="libc6 libstdc++6"
[ "$hardware" = no ] || needed="$needed libftdi1-2"
for package in $needed; do
    grep -q "$package" <<<"$depends" || fail "the .deb does not depend on $package: $depends"
done
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "the .deb's version is $(dpkg-deb -f "$deb" Version)"

banner=$("$build/orvanwriter" </dev/null || true)
banner=${banner%%$'\n'*}
[ "$banner" = "============ Orvan Flash Writer(v$version) ============" ] || fail "banner: $banner"
mkdir "$out/unpacked" && tar xzf "$tgz" -C "$out/unpacked"
packaged=$("$out/unpacked/orvanwriter-$version-linux-$arch/bin/orvan" --version 2>&1 || true)
[ "$packaged" = "orvan v$version" ] || fail "the packaged orvan --version: $packaged"
grep -q "^\.TH ORVAN 1 \"[0-9-]*\" \"orvan $version\"" "$build/orvan.1" || fail "orvan's man page's version"
grep -q "^\.TH ORVANWRITER 1 \"[0-9-]*\" \"orvanwriter $version\"" "$build/orvanwriter.1" || fail "the man page's version"

[ "$failures" -eq 0 ] || exit 1
echo "$(basename "$tgz") $(stat -c %s "$tgz") bytes; $(basename "$deb") $(stat -c %s "$deb") bytes; Depends: $depends"
