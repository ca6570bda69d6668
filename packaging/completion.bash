# SPDX-License-Identifier: BSD-2-Clause
# Bash completion of the kestrel command: subcommands (also after `help`), their options, the
# values of options that take a choice (a value named A|B), folders after an option whose
# value is DIR, file names elsewhere.
# It reads the subcommands and options from the help of the kestrel being completed
# (`kestrel --help`, `kestrel COMMAND --help`) at each completion, so it always matches that
# program, whichever version is on the PATH, and lists no option by hand.

# The subcommands: the lines "  NAME   summary" under "Commands:" in the overview.
_kestrel_commands() {
    local help
    help=$("$1" --help 2>/dev/null) || return 0
    awk '/^Commands:/ { on = 1; next } on && /^$/ { exit } on && /^  [a-z]/ { print $1 }' <<<"$help"
}

# One line per option of a help text's "Options:" block ("  -o, --output OUTBASE   text"):
# its names (comma-separated), a tab, what its value is ("" for a switch).
_kestrel_options() {
    awk '/^Options:/ { on = 1; next }
        on && /^[^ ]/ { exit }
        on && /^ +-/ {
        line = $0
        sub(/^ +/, "", line)
        gap = match(line, /  +/)
        if (gap) line = substr(line, 1, gap - 1)
        names = ""
        value = ""
        n = split(line, word, " ")
        for (i = 1; i <= n; i++) {
            if (value == "" && word[i] ~ /^-/) {
                sub(/,$/, "", word[i])
                names = names (names == "" ? "" : ",") word[i]
            } else {
                value = value (value == "" ? "" : " ") word[i]
            }
        }
        print names "\t" value
    }'
}

_kestrel() {
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD - 1]}
    local program=${COMP_WORDS[0]} command="" i
    for ((i = 1; i < COMP_CWORD; i++)); do
        case ${COMP_WORDS[i]} in
            -*) ;;
            *) command=${COMP_WORDS[i]}; break ;;
        esac
    done
    COMPREPLY=()

    if [ "$command" = help ]; then
        ((COMP_CWORD == i + 1)) && COMPREPLY=($(compgen -W "$(_kestrel_commands "$program")" -- "$cur"))
        return 0
    fi
    if [ -z "$command" ]; then
        if [[ $cur == -* ]]; then
            local help
            help=$("$program" --help 2>/dev/null)
            COMPREPLY=($(compgen -W "$(_kestrel_options <<<"$help" | cut -f1 | tr ',' ' ')" -- "$cur"))
        else
            COMPREPLY=($(compgen -W "$(_kestrel_commands "$program")" -- "$cur"))
        fi
        return 0
    fi

    # The help is read whole before it is taken apart: a reader that stops early would leave
    # the command writing into a closed pipe.
    local help options
    help=$("$program" "$command" --help 2>/dev/null) || return 0
    options=$(_kestrel_options <<<"$help")
    [ -n "$options" ] || return 0

    # The value of the option before the cursor, if it takes one.
    if [[ $prev == -* ]] && ((COMP_CWORD > i + 1)); then
        local names value
        while IFS=$'\t' read -r names value; do
            case ",$names," in *",$prev,"*) ;; *) continue ;; esac
            [ -n "$value" ] || break
            if [[ $value == *"|"* ]]; then
                COMPREPLY=($(compgen -W "${value//|/ }" -- "$cur"))
            elif [[ $value == DIR* ]]; then
                _kestrel_files -d
            elif [[ $value =~ ^[A-Z]*(FILE|BASE)( |$) ]]; then
                _kestrel_files
            fi
            return 0
        done <<<"$options"
    fi

    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "$(cut -f1 <<<"$options" | tr ',' ' ')" -- "$cur"))
    else
        _kestrel_files
    fi
    return 0
}

# File names (with -d: folders only), through bash-completion's helper when it is loaded.
_kestrel_files() {
    if declare -F _filedir >/dev/null; then
        _filedir "$@"
        return
    fi
    compopt -o filenames 2>/dev/null
    if [ "${1-}" = -d ]; then
        mapfile -t COMPREPLY < <(compgen -d -- "$cur")
    else
        mapfile -t COMPREPLY < <(compgen -f -- "$cur")
    fi
}

complete -F _kestrel kestrel
