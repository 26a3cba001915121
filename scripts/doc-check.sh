#!/usr/bin/env bash
# Checks the documents, README.md and doc/*.md: runs their shell examples and
# follows their links between each other. Part of the test command (ctest's
# DocumentationExamplesRunAndLinksResolve in the plain build).
#
# A fenced code block says what it is in its info string, the word after the
# opening fence:
#   sh            a shell example without hardware: the check runs it
#   sh hardware   needs a real cable: not run
#   sh root       needs root, or writes to system folders: not run
#   sh build      configures, builds, installs or runs the test command, which
#                 the check runs inside of: not run
#   sh needs=TOOL run where the program TOOL is installed, else skipped with a
#                 line saying so
#   text, or any other word: not a shell example (output, a synopsis, a
#                 file's lines), not run
# A block without an info string, or "sh" with another word, fails the check,
# so that no example goes unchecked by mistake.
#
# Where an example runs: in a folder of its own, made empty for it, that
# stands for the root of the source tree. It holds a link to each of the
# tree's files and folders (scripts/, sigrok/, mpsse_adapter/ ...) but
# CMakeLists.txt and CMakePresets.json, so that no example can configure the
# built tree from this folder; "build", a link to the built tree (the
# program, the virtual adapter, the MPSSE library and the emulated USB
# cable); and image.bin, a 300-byte image (bytes 0 to 255, then 0 to 43).
# A script that changes to its own tree, as scripts/demo.sh does, works in
# the source tree and its build/. bash runs the block's lines with -e and -o
# pipefail, standard input empty, no VADAPTER_* or VUSB_* variable set, and
# for at most EXAMPLE_TIMEOUT_S seconds; the block passes when bash ends with
# status 0.
#
# Links: every relative link [text](path) or [text](path#anchor), and
# [label]: path, must name a file or folder that exists, relative to the
# document; an #anchor into a .md file (or within the same one) must be one of
# its headings as the project's host names them: lower case, punctuation
# dropped, spaces as hyphens, "-1", "-2" ... after repeated headings. Links
# with a scheme (https:, mailto:) are not followed.
#
# Usage: doc-check.sh [SOURCE_DIR [BUILD_DIR]]   (default: this tree, its build/)
set -uo pipefail
source=$(cd "${1:-$(dirname "$0")/..}" && pwd)
build=$(cd "${2:-$source/build}" && pwd)
EXAMPLE_TIMEOUT_S=60
IMAGE_BYTES=300
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

documents=()
for document in "$source/README.md" "$source"/doc/*.md; do
    [ -f "$document" ] && documents+=("${document#"$source"/}")
done

# Each fenced block as work/blocks/N, and a line "N<TAB>document<TAB>line<TAB>info"
# in work/blocks.list; each link as "document<TAB>line<TAB>target" in
# work/links.list; each heading's anchor as "document<TAB>anchor" in
# work/anchors.list.
mkdir "$work/blocks"
(cd "$source" && awk -v out="$work" '
function slug(text,    anchor) {
    anchor = tolower(text)
    gsub(/[^a-z0-9 _\200-\377-]/, "", anchor)
    gsub(/ /, "-", anchor)
    if (anchor in seen) { seen[anchor]++; anchor = anchor "-" seen[anchor] } else seen[anchor] = 0
    return anchor
}
FNR == 1 { fence = ""; split("", seen); blocks_in_file = 0 }
fence == "" && /^ ? ? ?(```|~~~)/ {
    match($0, /^ */); indent = RLENGTH
    line = substr($0, indent + 1)
    match(line, /^(`+|~+)/); fence = substr(line, 1, RLENGTH)
    info = substr(line, RLENGTH + 1)
    gsub(/^[ \t]+|[ \t]+$/, "", info)
    count++
    file = out "/blocks/" count
    printf "" > file
    printf "%d\t%s\t%d\t%s\n", count, FILENAME, FNR, info > (out "/blocks.list")
    next
}
fence != "" {
    line = $0
    closing = line; sub(/^ */, "", closing)
    if (index(closing, fence) == 1 && closing ~ /^(`+|~+)[ \t]*$/ && length(closing) >= length(fence)) {
        close(file); fence = ""; next
    }
    for (i = 0; i < indent && substr(line, 1, 1) == " "; i++) line = substr(line, 2)
    print line > file
    next
}
/^#+ / { heading = $0; sub(/^#+ +/, "", heading); sub(/ +#* *$/, "", heading)
    printf "%s\t%s\n", FILENAME, slug(heading) > (out "/anchors.list") }
{
    text = $0
    gsub(/`[^`]*`/, "", text)
    if (match(text, /^ ? ? ?\[[^]]+\]: */)) {
        target = substr(text, RLENGTH + 1); sub(/ .*/, "", target)
        printf "%s\t%d\t%s\n", FILENAME, FNR, target > (out "/links.list")
    }
    while (match(text, /\]\([^) \t]+/)) {
        printf "%s\t%d\t%s\n", FILENAME, FNR, substr(text, RSTART + 2, RLENGTH - 2) > (out "/links.list")
        text = substr(text, RSTART + RLENGTH)
    }
}
END { if (fence != "") { printf "%s: a code block is not closed\n", FILENAME > "/dev/stderr"; exit 1 } }
' "${documents[@]}") || fail "the documents could not be read"
touch "$work/blocks.list" "$work/links.list" "$work/anchors.list"

# The image the examples write: every byte value, so a byte put in the wrong
# place shows.
makeImage() {
    local byte
    for ((byte = 0; byte < IMAGE_BYTES; byte++)); do
        printf "\\$(printf '%03o' $((byte % 256)))"
    done
}

# Runs one block in its own folder; prints its output when it fails.
runBlock() {
    local block=$1 where=$2 folder entry status
    folder=$work/run
    rm -rf "$folder" && mkdir "$folder"
    for entry in "$source"/* "$source"/.[!.]*; do
        case $(basename "$entry") in build | CMakeLists.txt | CMakePresets.json) continue ;; esac
        [ -e "$entry" ] && ln -s "$entry" "$folder/"
    done
    ln -s "$build" "$folder/build"
    cp "$work/image.bin" "$folder/image.bin"
    (
        cd "$folder" || exit 1
        unset $(compgen -e | grep -E '^(VADAPTER|VUSB)_')
        timeout "$EXAMPLE_TIMEOUT_S" bash -e -o pipefail "$work/blocks/$block" </dev/null >"$work/output" 2>&1
    )
    status=$?
    if [ "$status" -ne 0 ]; then
        fail "$where: the example ended with status $status$([ "$status" -eq 124 ] && echo " (timed out after $EXAMPLE_TIMEOUT_S s)"):"
        sed 's/^/    /' "$work/blocks/$block" >&2
        echo "  its output:" >&2
        tail -n 20 "$work/output" | sed 's/^/    /' >&2
        return
    fi
    ran=$((ran + 1))
}

makeImage >"$work/image.bin"
ran=0 skipped=0 others=0
while IFS=$'\t' read -r block document line info; do
    where=$document:$line
    case $info in
        sh) runBlock "$block" "$where" ;;
        "sh hardware" | "sh root" | "sh build") skipped=$((skipped + 1)) ;;
        "sh needs="*)
            tool=${info#sh needs=}
            if command -v "$tool" >/dev/null; then
                runBlock "$block" "$where"
            else
                echo "$where: $tool is not installed: the example is not run"
                skipped=$((skipped + 1))
            fi
            ;;
        "") fail "$where: a code block without an info string (sh, sh hardware, sh root, sh build, sh needs=TOOL, or text)" ;;
        sh*) fail "$where: unknown marking \"$info\" (sh, sh hardware, sh root, sh build, sh needs=TOOL)" ;;
        *) others=$((others + 1)) ;;
    esac
done <"$work/blocks.list"

links=0
while IFS=$'\t' read -r document line target; do
    case $target in [A-Za-z]*:*) continue ;; esac
    links=$((links + 1))
    path=${target%%#*}
    anchor=
    [ "$path" = "$target" ] || anchor=${target#*#}
    if [ -z "$path" ]; then
        resolved=$document
    else
        resolved=$(dirname "$document")/$path
        resolved=${resolved#./}
    fi
    if [ ! -e "$source/$resolved" ]; then
        fail "$document:$line: the link $target names no file"
    elif [ -n "$anchor" ] && [[ $resolved == *.md ]] &&
        ! grep -qxF "$(cd "$source" && realpath -m --relative-to=. "$resolved")"$'\t'"$anchor" "$work/anchors.list"; then
        fail "$document:$line: the link $target names no heading of $resolved"
    fi
done <"$work/links.list"

echo "${#documents[@]} documents: $ran shell examples run, $skipped not run (hardware, root, build or a missing tool), $others other blocks; $links links followed"
[ "$failures" -eq 0 ]
