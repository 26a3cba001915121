#!/bin/sh
# Writes CHANGELOG.md as a Debian changelog on standard output: each
# "## VERSION (YYYY-MM-DD)" section becomes an entry of PACKAGE, its "- "
# items the entry's "  * " items (their further lines indented to match),
# signed by MAINTAINER at midnight UTC of the section's date. Text before the
# first section is left out. Fails on a heading of another shape, on a section
# without items, and when there is no section.
# Usage: debian-changelog.sh CHANGELOG.md PACKAGE MAINTAINER
set -eu
# Dates in the English form Debian wants, whatever the caller's locale.
export LC_ALL=C
awk -v package="$2" -v maintainer="$3" '
function fail(message) { print "debian-changelog.sh: " FILENAME ":" FNR ": " message > "/dev/stderr"; failed = 1; exit 1 }
function sign(    command, stamp) {
    if (version == "") return
    if (items == 0) fail("version " version " lists no change")
    command = "date -u -R -d " date
    command | getline stamp
    close(command)
    printf "\n -- %s  %s\n", maintainer, stamp
}
/^## / {
    sign()
    if ($0 !~ /^## [0-9][0-9A-Za-z.+~-]* \([0-9][0-9][0-9][0-9]-[0-9][0-9]-[0-9][0-9]\)$/)
        fail("not a \"## VERSION (YYYY-MM-DD)\" heading: " $0)
    version = $2
    date = substr($3, 2, 10)
    if (entries++) print ""
    printf "%s (%s) unstable; urgency=medium\n\n", package, version
    items = 0
    next
}
version == "" || /^[[:space:]]*$/ { next }
/^- / { items++; print "  * " substr($0, 3); next }
/^  / { if (items == 0) fail("text before the first item: " $0); print "  " $0; next }
{ fail("neither an item nor its continuation: " $0) }
END {
    if (failed) exit 1
    if (entries == 0) fail("no \"## VERSION (YYYY-MM-DD)\" section")
    sign()
}' "$1"
