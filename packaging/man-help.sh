#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# The help text help2man makes the kestrel(1) manual page from, put together from the
# command's own help, so that the page names every subcommand and option the command has:
# a synopsis line per subcommand, the global options, then a COMMANDS section with each
# subcommand's description, arguments and options. kestrel.h2m gives the description and the
# sections the help does not hold. help2man runs this script as the program:
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
# The whole command's help names each subcommand on an unindented line of its own.
commands=$(printf '%s\n' "$top" | awk '/^Subcommands:/ { on = 1; next } on && /^[a-z][a-z0-9-]*$/')
if [ -z "$commands" ]; then
    echo "man-help: no subcommands found in '$kestrel --help'" >&2
    exit 1
fi

# The page's description is kestrel.h2m's; the synopsis has a line per subcommand.
printf '%s\n' "$top" | grep '^Usage:'
for command in $commands; do
    "$kestrel" "$command" --help | awk -v cmd="$command" '
        /^Usage:/ { sub(/^Usage: +(kestrel +)?/, ""); sub("^" cmd " *", ""); print "   or: kestrel " cmd " " $0; exit }'
done
echo

# Global options: the indented lines under the first "Options:".
echo "Options:"
printf '%s\n' "$top" | awk '/^Options:/ { on = 1; next } on && /^ / { print; next } on { exit }'
echo

# One subsection per subcommand: description, then arguments and options (help2man sets
# each indented "NAME  text" line as a tagged paragraph). Headings, the usage line, the
# help option and the closing notes are left out; the synopsis and EXIT STATUS have them.
echo "*Commands*"
for command in $commands; do
    echo "kestrel $command:"
    "$kestrel" "$command" --help | awk '
        /^Usage:/ { usage = 1; print ""; next }
        !usage { if (NF) print "  " $0; next }
        /^Positionals:/ { positionals = 1; next }
        /^[^ ]/ { positionals = 0; next }
        /^ +-h,--help / { next }
        # An argument line "  NAME TYPE [...] [REQUIRED]   text" is shown as "NAME[...]   text".
        positionals && /^  [^ ]/ {
            line = substr($0, 3)
            gap = match(line, /   +/)
            left = gap ? substr(line, 1, gap - 1) : line
            n = split(left, word, " ")
            tag = word[1]
            for (i = 2; i <= n; i++) if (word[i] == "...") tag = tag "..."
            if (gap) printf "  %-28s%s\n", tag, substr(line, gap + RLENGTH)
            else print "  " tag
            next
        }
        { print }'
    echo
done
