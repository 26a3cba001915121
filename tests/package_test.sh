#!/usr/bin/env bash
# Makes the Linux packages with cpack and checks their names (with the
# version), their files against the expected lists, the .deb's declared
# dependencies and maintainer scripts, and that the banner, the package names,
# the man page and the changelog's newest entry carry the same version.
# Usage: package_test.sh BUILD_DIR VERSION
set -euo pipefail
build=$(cd "$1" && pwd)
version=$2
documents=$(cd "$(dirname "$0")/../doc" && ls ./*.md)
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
        "${root}share/doc/orvanwriter/README.md" "${root}share/doc/orvanwriter/changelog.gz" \
        "${root}share/doc/orvanwriter/copyright" \
        "${root}share/man/man1/orvanwriter.1.gz" "${root}share/man/man1/orvanwriter-virtual.1.gz" \
        "${root}bin/orvan" "${root}share/man/man1/orvan.1.gz" "${root}share/man/man5/orvan-recipe.5.gz" \
        "${root}share/bash-completion/completions/orvan"
    # liborvan, its development files and its Python module.
    printf '%s\n' "${root}lib/liborvan.so" "${root}lib/liborvan.so.1" "${root}lib/liborvan.so.1.1" \
        "${root}include/liborvan.h" "${root}lib/$(gcc -print-multiarch)/pkgconfig/liborvan.pc" \
        "${root}lib/python3/dist-packages/orvan/__init__.py" "${root}lib/python3/dist-packages/orvan/_library_path.py" \
        "${root}lib/python3/dist-packages/orvan/py.typed"
    # The documents the README links to, beside it, and the example recipe.
    echo "${root}share/doc/orvanwriter/doc/example-recipe/app.hex"
    echo "${root}share/doc/orvanwriter/doc/example-recipe/sensor.toml"
    for document in $documents; do
        echo "${root}share/doc/orvanwriter/doc/${document#./}"
    done
    if [ "$hardware" = yes ]; then
        echo "${root}lib/udev/rules.d/60-vexil-cable.rules"
    fi
}
listed=$(tar tzf "$tgz" | grep -v '/$' | sort)
want=$(expected "orvanwriter-$version-linux-$arch/" | sort)
[ "$listed" = "$want" ] || fail "the archive holds"$'\n'"$listed"$'\n'"expected"$'\n'"$want"
listed=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $6 }' | sed 's#^\./##' | sort)
want=$( (expected "usr/" && echo usr/share/lintian/overrides/orvanwriter) | sort)
[ "$listed" = "$want" ] || fail "the .deb holds"$'\n'"$listed"$'\n'"expected"$'\n'"$want"

depends=$(dpkg-deb -f "$deb" Depends)
needed="libc6 libstdc++6"
[ "$hardware" = no ] || needed="$needed libftdi1-2"
for package in $needed; do
    grep -q "$package" <<<"$depends" || fail "the .deb does not depend on $package: $depends"
done
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "the .deb's version is $(dpkg-deb -f "$deb" Version)"
grep -q "python3" <<<"$depends" || fail "the .deb does not depend on python3: $depends"
# The adapter libraries are private, liborvan public: its shlibs entry and
# the ldconfig trigger, and no maintainer scripts.
scripts=$(dpkg-deb -I "$deb" | grep -E '^ +[0-9]+ bytes, .*(postinst|postrm|prerm|preinst)' || true)
[ -z "$scripts" ] || fail "the .deb has maintainer scripts:"$'\n'"$scripts"
[ "$(dpkg-deb -I "$deb" shlibs)" = "liborvan 1 orvanwriter (>= $version)" ] || fail "the .deb's shlibs: $(dpkg-deb -I "$deb" shlibs)"
[ "$(dpkg-deb -I "$deb" triggers)" = "activate-noawait ldconfig" ] || fail "the .deb's triggers: $(dpkg-deb -I "$deb" triggers)"
# The Debian changelog's newest entry is this version; the man pages are
# compressed without a name or time stamp, so the same build packs the same bytes.
# Each file is taken out whole before it is looked at: a reader that stops
# early would end the writer with SIGPIPE, which pipefail reports.
dpkg-deb --fsys-tarfile "$deb" | tar xOf - ./usr/share/doc/orvanwriter/changelog.gz >"$out/changelog.gz"
entry=$(gzip -dc "$out/changelog.gz" | sed -n 1p)
[ "$entry" = "orvanwriter ($version) unstable; urgency=medium" ] || fail "the changelog's first line: $entry"
for page in man1/orvanwriter.1 man1/orvanwriter-virtual.1 man1/orvan.1 man5/orvan-recipe.5; do
    dpkg-deb --fsys-tarfile "$deb" | tar xOf - "./usr/share/man/$page.gz" >"$out/page.gz"
    header=$(od -A n -t x1 -N 8 "$out/page.gz" | xargs)
    [ "$header" = "1f 8b 08 00 00 00 00 00" ] || fail "$page.gz carries a name or time stamp: $header"
done

banner=$("$build/orvanwriter" </dev/null || true)
banner=${banner%%$'\n'*}
[ "$banner" = "============ Orvan Flash Writer(v$version) ============" ] || fail "banner: $banner"
mkdir "$out/unpacked" && tar xzf "$tgz" -C "$out/unpacked"
packaged=$("$out/unpacked/orvanwriter-$version-linux-$arch/bin/orvan" --version 2>&1 || true)
[ "$packaged" = "orvan v$version" ] || fail "the packaged orvan --version: $packaged"
grep -q "^\.TH ORVAN 1 \"[0-9-]*\" \"orvan $version\"" "$build/orvan.1" || fail "orvan's man page's version"
grep -q "^\.TH ORVANWRITER 1 \"[0-9-]*\" \"orvanwriter $version\"" "$build/orvanwriter.1" || fail "the man page's version"

# Each installed man page names the libraries where that package puts them.
page=$(dpkg-deb --fsys-tarfile "$deb" | tar -xO ./usr/share/man/man1/orvanwriter.1.gz | gzip -dc)
grep -qx '\.I /usr/lib/orvanwriter/libftcspi\.so' <<<"$page" || fail "the .deb's man page does not name /usr/lib"
! grep -q '/usr/local' <<<"$page" || fail "the .deb's man page names /usr/local"
page=$(tar -xzOf "$tgz" "orvanwriter-$version-linux-$arch/share/man/man1/orvanwriter.1.gz" | gzip -dc)
grep -qx '\.I lib/orvanwriter/libftcspi\.so' <<<"$page" || fail "the archive's man page does not name lib/ in its folder"
! grep -q '/usr/' <<<"$page" || fail "the archive's man page names a /usr path"

[ "$failures" -eq 0 ] || exit 1
echo "$(basename "$tgz") $(stat -c %s "$tgz") bytes; $(basename "$deb") $(stat -c %s "$deb") bytes; Depends: $depends"
