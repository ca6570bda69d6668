# SPDX-License-Identifier: BSD-2-Clause
# Bash completion of the kestrel command: subcommands, their options, the values of options
# that take a choice, folders after an option whose value is DIR, file names elsewhere.
# It reads the subcommands and options from the help of the kestrel being completed
# (`kestrel --help`, `kestrel COMMAND --help`) at each completion, so it always matches that
# program, whichever version is on the PATH, and lists no option by hand.

# The subcommands: unindented one-word lines after "Subcommands:" in the whole help.
_kestrel_commands() {
    "$1" --help 2>/dev/null | awk '/^Subcommands:/ { on = 1; next } on && /^[a-z][a-z0-9-]*$/'
}

# One line per option of a help text's "Options:" block (the whole command's help lists the
# subcommands' options after it): its names (comma-separated), a tab, what its value is ("" for
# a switch).
_kestrel_options() {
    awk '/^Options:/ { on = 1; next }
        on && /^[^ ]/ { exit }
        on && /^ +-/ {
        line = $0
        sub(/^ +/, "", line)
        gap = match(line, /  +/)
        if (gap) line = substr(line, 1, gap - 1)
        names = line
        sub(/ .*/, "", names)
        value = (index(line, " ") ? substr(line, index(line, " ") + 1) : "")
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

    if [ -z "$command" ]; then
        if [[ $cur == -* ]]; then
            COMPREPLY=($(compgen -W "$("$program" --help 2>/dev/null | _kestrel_options |
                cut -f1 | tr ',' ' ')" -- "$cur"))
        else
            COMPREPLY=($(compgen -W "$(_kestrel_commands "$program")" -- "$cur"))
        fi
        return 0
    fi

    local options
    options=$("$program" "$command" --help 2>/dev/null | _kestrel_options) || return 0
    [ -n "$options" ] || return 0

    # The value of the option before the cursor, if it takes one.
    if [[ $prev == -* ]] && ((COMP_CWORD > i + 1)); then
        local names value
        while IFS=$'\t' read -r names value; do
            case ",$names," in *",$prev,"*) ;; *) continue ;; esac
            [ -n "$value" ] || break
            if [[ $value =~ :\{([^}]*)\} ]]; then
                COMPREPLY=($(compgen -W "${BASH_REMATCH[1]//,/ }" -- "$cur"))
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
