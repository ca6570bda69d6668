#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# Debian's documentation files of the kestrel package, made from the project's own files so
# that nothing is written twice:
#
#   debian-docs.sh changelog CHANGELOG.md MAINTAINER   Debian changelog on standard output
#   debian-docs.sh copyright LICENSE                   machine-readable copyright file
#
# The changelog has one entry per "## VERSION - DATE" heading of CHANGELOG.md (DATE as
# YYYY-MM-DD, or "unreleased" for the time in SOURCE_DATE_EPOCH, else now), each paragraph
# or list item of the section one item, Markdown marks removed, lines wrapped at 78.
set -eu

changelog() {
    awk -v maintainer="$2" -v epoch="${SOURCE_DATE_EPOCH-}" '
        function rfc2822(day,    cmd, out) {
            if (day == "unreleased") cmd = "date -u -R" (epoch != "" ? " -d @" epoch : "")
            else if (day ~ /^[0-9][0-9][0-9][0-9]-[0-9][0-9]-[0-9][0-9]$/) cmd = "date -u -R -d " day
            else { print "debian-docs: bad date \"" day "\" in a heading" > "/dev/stderr"; failed = 1; exit 1 }
            cmd | getline out
            close(cmd)
            return out
        }
        function plain(text) {
            gsub(/`/, "", text)
            gsub(/\*\*/, "", text)
            while (match(text, /\[[^]]*\]\([^)]*\)/)) {
                link = substr(text, RSTART, RLENGTH)
                sub(/\]\(.*/, "", link)
                text = substr(text, 1, RSTART - 1) substr(link, 2) substr(text, RSTART + RLENGTH)
            }
            return text
        }
        # One item: "  * " then the words, continued lines indented by four.
        function item(text,    n, word, i, line) {
            n = split(plain(text), word, /[ \t]+/)
            line = "  *"
            for (i = 1; i <= n; i++) {
                if (word[i] == "") continue
                if (length(line) + 1 + length(word[i]) > 78 && line != "  *" && line != "   ") {
                    print line
                    line = "   "
                }
                line = line " " word[i]
            }
            print line
        }
        function flush() { if (pending != "") { item(pending); items++ }; pending = "" }
        function close_entry() {
            flush()
            if (version != "") { if (!items) item("Release " version "."); print ""; print " -- " maintainer "  " date }
        }
        /^## / {
            close_entry()
            heading = substr($0, 4)
            if (split(heading, part, / +- +/) != 2) { print "debian-docs: heading \"" $0 "\" is not \"## VERSION - DATE\"" > "/dev/stderr"; failed = 1; exit 1 }
            if (version != "") print ""
            version = part[1]
            date = rfc2822(part[2])
            items = 0
            print "kestrel (" version ") unstable; urgency=medium"
            print ""
            next
        }
        version == "" { next }
        /^[ \t]*$/ { flush(); next }
        /^[-*] / { flush(); pending = substr($0, 3); next }
        { pending = pending == "" ? $0 : pending " " $0 }
        END { if (failed) exit 1; close_entry(); if (version == "") { print "debian-docs: no \"## VERSION - DATE\" heading" > "/dev/stderr"; exit 1 } }
    ' "$1"
}

copyright() {
    awk '
        /^Copyright / && !holder {
            holder = $0
            sub(/^Copyright +(\([cC]\) +)?/, "", holder)
            print "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/"
            print "Upstream-Name: Kestrel"
            print ""
            print "Files: *"
            print "Copyright: " holder
            print "License: BSD-2-Clause"
            next
        }
        !holder { next }
        !started && /^[ \t]*$/ { next }
        { started = 1; print (/^[ \t]*$/ ? " ." : " " $0) }
        END { if (!holder) { print "debian-docs: no Copyright line in the license" > "/dev/stderr"; exit 1 } }
    ' "$1"
}

usage() {
    echo "usage: $0 changelog CHANGELOG.md MAINTAINER | copyright LICENSE" >&2
    exit 2
}
case ${1-} in
    changelog) [ $# -eq 3 ] || usage; changelog "$2" "$3" ;;
    copyright) [ $# -eq 2 ] || usage; copyright "$2" ;;
    *) usage ;;
esac
