#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# The built manual page against the built command: it names every subcommand and every
# option that `kestrel --help` and `kestrel COMMAND --help` list, once each in the synopsis,
# with an example for each subcommand, values named in words (no type tags), the folder of the
# documentation under the build's prefix, its sections in order, and man formats it without a
# warning.
#
#   tests/scripts/manpage_test.sh KESTREL MANPAGE DOCDIR
set -u -o pipefail
KESTREL=${1:?usage: $0 KESTREL MANPAGE DOCDIR}
PAGE=${2:?usage: $0 KESTREL MANPAGE DOCDIR}
DOCDIR=${3:?usage: $0 KESTREL MANPAGE DOCDIR}

. "$(dirname "$0")/checks.sh"

# The page's text without roff's escapes and font changes.
text=$(sed -e 's/\\-/-/g' -e 's/\\f[BIRP]//g' -e 's/\\[,\/]//g' -e 's/\\(co/(c)/g' "$PAGE")
# The synopsis, one line per usage.
synopsis=$(awk '/^\.SH SYNOPSIS/ { on = 1; next } on && /^\.SH/ { exit }
               on && /^\.B / { name = substr($0, 4); getline rest; print name " " rest }' <<<"$text")

help=$("$KESTREL" --help)
commands=$(awk '/^Commands:/ { on = 1; next } on && /^$/ { exit } on && /^  [a-z]/ { print $1 }' <<<"$help")
[ -n "$commands" ] && pass || fail "no subcommands in kestrel --help"
examples=$(awk '/^\.SH EXAMPLES/ { on = 1; next } on && /^\.SH/ { exit } on' <<<"$text")
for command in $commands; do
    count=$(grep -c "^kestrel $command " <<<"$synopsis")
    [ "$count" -eq 1 ] && pass || fail "'$command' has $count synopsis lines, not one"
    grep -q "kestrel $command " <<<"$examples" && pass || fail "no example of '$command'"
    grep -q "^\.SS \"kestrel $command:\"" <<<"$text" && pass || fail "no subsection for '$command'"
    # Each option name of the command's help, in the command's subsection.
    section=$(awk -v head=".SS \"kestrel $command:\"" '$0 == head { on = 1; next } on && /^\.S[SH]/ { exit } on' <<<"$text")
    for option in $("$KESTREL" "$command" --help | awk '/^Options:/ { on = 1 } on && /^ +-/ { print $1 }' |
                     tr ',' '\n' | grep -vx -e -h -e --help); do
        grep -q -- "$option" <<<"$section" && pass || fail "'$command' option $option missing"
    done
done

# Values are named in words: none of the parser's type tags.
tags=$(grep -E -e ':(INT|UINT|FLOAT|TEXT|NUMBER)\b' -e ':\{' -e '\b(TEXT|REQUIRED)\b' -e 'in \[[0-9]' <<<"$text")
[ -z "$tags" ] && pass || fail "type tags in the page: $tags"
# The documentation where the build's prefix installs it.
awk '/^\.SH FILES/ { on = 1; next } on && /^\.SH/ { exit } on' <<<"$text" | grep -qx "\.I $DOCDIR/README.md" &&
    pass || fail "FILES does not name $DOCDIR/README.md"

# Sections, in this order.
sections=$(grep '^\.SH' <<<"$text" | sed 's/^\.SH *//; s/"//g' | paste -sd, -)
expected="NAME,SYNOPSIS,DESCRIPTION,OPTIONS,COMMANDS,EXIT STATUS,ENVIRONMENT,FILES,EXAMPLES,COPYRIGHT"
[ "$sections" = "$expected" ] && pass || fail "sections '$sections', expected '$expected'"
for status in 0 1 2 130; do
    awk '/^\.SH "EXIT STATUS"/ { on = 1; next } on && /^\.SH/ { exit } on' <<<"$text" | grep -qx "\.B $status" &&
        pass || fail "exit status $status not described"
done
grep -q "^\.TH KESTREL \"1\" " "$PAGE" && pass || fail "page header is not .TH KESTREL \"1\""

if command -v man >/dev/null; then
    warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$PAGE" 2>&1 >/dev/null)
    [ -z "$warnings" ] && pass || fail "man warns: $warnings"
else
    echo "man is not installed: formatting not tried"
fi

finish
