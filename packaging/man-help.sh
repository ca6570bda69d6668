#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# The help text help2man makes the kestrel(1) manual page from, put together from the
# command's own help, so that the page names every subcommand and option the command has:
# a synopsis line per subcommand, the global options, a COMMANDS section with each
# subcommand's description, arguments and options, and the examples of every subcommand.
# kestrel.h2m gives the description and the sections the help does not hold. help2man runs
# this script as the program:
#
#   KESTREL_PROGRAM=build/cli/kestrel packaging/man-help.sh --help
set -eu

kestrel=${KESTREL_PROGRAM:?KESTREL_PROGRAM must name the kestrel command}
case ${1-} in
    --help) ;;
    --version) exec "$kestrel" --version ;;
    *) echo "usage: KESTREL_PROGRAM=PATH $0 --help|--version" >&2; exit 2 ;;
esac

top=$("$kestrel" --help)
# The overview lists each subcommand on a line "  NAME   summary" under "Commands:".
commands=$(printf '%s\n' "$top" | awk '/^Commands:/ { on = 1; next } on && /^$/ { exit } on && /^  [a-z]/ { print $1 }')
if [ -z "$commands" ]; then
    echo "man-help: no subcommands found in '$kestrel --help'" >&2
    exit 1
fi

# The page's description is kestrel.h2m's; the synopsis has a line per subcommand, each
# subcommand's usage once, then the help and the version.
lead="Usage:"
for command in $commands; do
    printf '%s %s\n' "$lead" "$("$kestrel" "$command" --help | sed -n '1s/^Usage: //p')"
    lead="   or:"
done
echo "   or: kestrel help [COMMAND]"
echo "   or: kestrel --help | --version"
echo

# Global options: the indented lines under the overview's "Options:".
echo "Options:"
printf '%s\n' "$top" | awk '/^Options:/ { on = 1; next } on && /^ / { print; next } on { exit }'
echo

# One subsection per subcommand: description, then arguments and options (help2man sets
# each indented "NAME  text" line as a tagged paragraph). The usage line, the headings, the
# help option and the closing notes are left out: the synopsis, EXIT STATUS and EXAMPLES
# have them.
echo "*Commands*"
for command in $commands; do
    echo "kestrel $command:"
    "$kestrel" "$command" --help | awk '
        NR <= 2 { next }
        /^Examples:/ { exit }
        /^(Arguments|Options):/ { print ""; next }
        /^  -h, --help / { skip = 1; next }
        skip && /^      / { next }
        { skip = 0 }
        /^[^ ]/ { print "  " $0; next }
        { print }'
    echo
done

# Every subcommand's examples, in one EXAMPLES section: each command line and what it does
# on one line, apart by two spaces, which help2man sets as a tagged paragraph.
echo "Examples:"
for command in $commands; do
    "$kestrel" "$command" --help | awk '
        /^Examples:/ { on = 1; next }
        !on { next }
        /^$/ { exit }
        /^      / { sub(/^ +/, ""); line = line (said ? " " : "  ") $0; said = 1; next }
        { if (line != "") print line; line = $0; said = 0 }
        END { if (line != "") print line }'
done
