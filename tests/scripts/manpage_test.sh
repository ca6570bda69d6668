#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# The built manual page against the built command: it names every subcommand and every
# option that `kestrel --help` and `kestrel COMMAND --help` list, has its sections in order,
# and man formats it without a warning.
#
#   tests/scripts/manpage_test.sh KESTREL MANPAGE
set -u -o pipefail
KESTREL=${1:?usage: $0 KESTREL MANPAGE}
PAGE=${2:?usage: $0 KESTREL MANPAGE}

. "$(dirname "$0")/checks.sh"

# The page's text without roff's escapes and font changes.
text=$(sed -e 's/\\-/-/g' -e 's/\\f[BIRP]//g' -e 's/\\[,\/]//g' -e 's/\\(co/(c)/g' "$PAGE")
# The synopsis, one line per usage.
synopsis=$(awk '/^\.SH SYNOPSIS/ { on = 1; next } on && /^\.SH/ { exit }
               on && /^\.B / { name = substr($0, 4); getline rest; print name " " rest }' <<<"$text")

commands=$("$KESTREL" --help | awk '/^Subcommands:/ { on = 1; next } on && /^[a-z][a-z0-9-]*$/')
[ -n "$commands" ] && pass || fail "no subcommands in kestrel --help"
for command in $commands; do
    grep -q "^kestrel $command " <<<"$synopsis" && pass || fail "no synopsis line for '$command'"
    grep -q "^\.SS \"kestrel $command:\"" <<<"$text" && pass || fail "no subsection for '$command'"
    # Each option name of the command's help, in the command's subsection.
    section=$(awk -v head=".SS \"kestrel $command:\"" '$0 == head { on = 1; next } on && /^\.S[SH]/ { exit } on' <<<"$text")
    for option in $("$KESTREL" "$command" --help | awk '/^Options:/ { on = 1 } on && /^ +-/ { print $1 }' |
                     tr ',' '\n' | grep -vx -e -h -e --help); do
        grep -q -- "$option" <<<"$section" && pass || fail "'$command' option $option missing"
    done
done

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
