#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# The bash completion of kestrel, run against the built command as bash runs it: the words
# it offers for a table of command lines, with bash's own file completion and, where it is
# installed, with bash-completion's helpers loaded.
#
#   tests/scripts/completion_test.sh KESTREL COMPLETION_FILE
set -u -o pipefail
KESTREL=${1:?usage: $0 KESTREL COMPLETION_FILE}
COMPLETION=${2:?usage: $0 KESTREL COMPLETION_FILE}
BASH_COMPLETION=/usr/share/bash-completion/bash_completion
KESTREL=$(realpath "$KESTREL") && COMPLETION=$(realpath "$COMPLETION") || exit 1

WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
mkdir -p "$WORK/bin" "$WORK/files/logs" "$WORK/files/out dir"
ln -s "$KESTREL" "$WORK/bin/kestrel"
touch "$WORK/files/day1.nav" "$WORK/files/day2.nav"

# command line (completed at its end) | words offered, sorted, comma-separated
CASES=(
    "kestrel |convert,detect,inspect,qc,rinex,rtcm,stream"
    "kestrel stream --period |15m,1d,1h"
    "kestrel de|detect"
    "kestrel --v|--version"
    "kestrel convert --no-|--no-clobber,--no-clock-correction,--no-l2-slips"
    "kestrel convert --sk|--skip-existing"
    "kestrel -V convert --fl|--flag-epochs"
    "kestrel rinex -v |2.11,3.04"
    "kestrel rinex --rinex-version 3|3.04"
    "kestrel rinex --no-nav --do|--doppler"
    "kestrel rtcm --an|--antenna,--antenna-height"
    "kestrel convert -d |logs,out dir"
    "kestrel convert -o da|day1.nav,day2.nav"
    "kestrel convert |day1.nav,day2.nav,logs,out dir"
    "kestrel convert --quiet d|day1.nav,day2.nav"
    "kestrel convert -j |"
    "kestrel rinex --marker |"
    "kestrel detect --|--help"
    "kestrel nosuch -|"
    "kestrel help |convert,detect,inspect,qc,rinex,rtcm,stream"
    "kestrel help r|rinex,rtcm"
    "kestrel help rinex |"
    "kestrel rinex --splice --period |1d,1h"
    "kestrel qc -j |"
    "kestrel qc --json |day1.nav,day2.nav,logs,out dir"
)

# Completes each case's line in a shell of its own; prints the words offered.
run_cases() {
    local preload=$1 case
    for case in "${CASES[@]}"; do
        local line=${case%%|*}
        (
            cd "$WORK/files" || exit 1
            PATH=$WORK/bin:$PATH
            [ -z "$preload" ] || source "$preload" >/dev/null 2>&1
            source "$COMPLETION"
            read -r -a COMP_WORDS <<<"$line"
            [[ $line == *" " ]] && COMP_WORDS+=("")
            COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
            COMP_LINE=$line
            COMP_POINT=${#line}
            _kestrel 2>"$WORK/stderr"
            # One line per case: the words, and whatever the function wrote on standard error.
            words=$(printf '%s\n' "${COMPREPLY[@]}" | sed 's|/$||' | sort | paste -sd, -)
            echo "$words$(tr '\n' ' ' <"$WORK/stderr")"
        )
    done
}

. "$(dirname "$0")/checks.sh"
check_mode() {
    local mode=$1 preload=$2 i=0 got
    while IFS= read -r got; do
        local case=${CASES[i]}
        if [ "$got" = "${case#*|}" ]; then
            pass
        else
            fail "($mode) '${case%%|*}': expected '${case#*|}', got '$got'"
        fi
        i=$((i + 1))
    done < <(run_cases "$preload")
    if [ "$i" -ne "${#CASES[@]}" ]; then
        fail "($mode): $i of ${#CASES[@]} cases ran"
    fi
}

check_mode "bash alone" ""
if [ -f "$BASH_COMPLETION" ]; then
    check_mode "with bash-completion" "$BASH_COMPLETION"
else
    echo "bash-completion is not installed: completion with its helpers not tried"
fi

finish
