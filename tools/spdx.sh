#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# The license line at the top of every source file: lists the files that lack it, or adds it.
#
#   tools/spdx.sh --check [ROOT]   lists the source files without the line; status 1 when any
#   tools/spdx.sh --add [ROOT]     puts the line at the top of those files (after a #! line)
#
# Source files are the C, C++, shell, Python and CMake files of the work tree (tracked, or
# new and not ignored; every file outside .git and build folders when ROOT is no git
# checkout), except the data under data/ and fuzz/regressions/. The line is a comment in the
# file's own syntax: `// ` in C++, `/* ... */` in C and in headers that open with such a
# comment, `# ` elsewhere. A file that names another license at its top is never changed:
# both modes report it and end with status 1.
set -euo pipefail

LICENSE_ID=BSD-2-Clause
TAG="SPDX-License-Identifier: $LICENSE_ID"

usage() {
    echo "usage: $0 --check|--add [ROOT]" >&2
    exit 2
}

# Every candidate file, relative to the root, one per line.
candidate_files() {
    if [ "$(git -C "$ROOT" rev-parse --show-toplevel 2>/dev/null)" = "$ROOT" ]; then
        git -C "$ROOT" ls-files --cached --others --exclude-standard | sort -u
    else
        (cd "$ROOT" && find . \( -name .git -o -path './build*' \) -prune -o -type f -print |
            sed 's|^\./||' | sort)
    fi
}

is_source() {
    case $1 in
        data/* | fuzz/regressions/*) return 1 ;;
        *.cpp | *.h | *.c | *.sh | *.bash | *.cmake | *.py | CMakeLists.txt | */CMakeLists.txt) return 0 ;;
        *) return 1 ;;
    esac
}

# The license line as a comment in the syntax of the file.
tag_line() {
    local file=$1
    case $file in
        *.cpp) echo "// $TAG" ;;
        *.c) echo "/* $TAG */" ;;
        *.h)
            if [ "$(head -c 2 "$ROOT/$file")" = "/*" ]; then echo "/* $TAG */"; else echo "// $TAG"; fi ;;
        *) echo "# $TAG" ;;
    esac
}

# The line where the license line belongs: the first, or the second after a #! line.
top_line() {
    local file=$1 first
    first=$(head -n 1 "$ROOT/$file")
    if [ "${first#\#!}" != "$first" ]; then
        sed -n 2p "$ROOT/$file"
    else
        printf '%s\n' "$first"
    fi
}

# carries: the line is there; other: another license is named there; lacks: neither.
license_state() {
    local top
    top=$(top_line "$1")
    if [[ $top =~ ^(//|#|/\*)\ SPDX-License-Identifier:\ ([^ ]+)( \*/)?$ ]]; then
        if [ "${BASH_REMATCH[2]}" = "$LICENSE_ID" ]; then echo carries; else echo other; fi
    elif [[ $top == *SPDX-License-Identifier:* ]]; then
        echo other
    else
        echo lacks
    fi
}

add_line() {
    local file=$ROOT/$1 line tmp
    line=$(tag_line "$1")
    tmp=$(mktemp "$file.spdx.XXXXXX")
    if [ -s "$file" ]; then
        awk -v tag="$line" 'NR == 1 && /^#!/ { print; print tag; next } NR == 1 { print tag } { print }' \
            "$file" >"$tmp"
    else
        printf '%s\n' "$line" >"$tmp"
    fi
    # Rewrite in place, so that the file keeps its mode (scripts stay executable).
    cat "$tmp" >"$file"
    rm -f "$tmp"
}

[ $# -ge 1 ] && [ $# -le 2 ] || usage
MODE=$1
case $MODE in --check | --add) ;; *) usage ;; esac
ROOT=$(cd "${2:-$(dirname "${BASH_SOURCE[0]}")/..}" && pwd -P)

sources=0
lacking=0
others=0
while IFS= read -r file; do
    is_source "$file" && [ -f "$ROOT/$file" ] || continue
    sources=$((sources + 1))
    case $(license_state "$file") in
        carries) ;;
        other)
            others=$((others + 1))
            echo "$file: names another license at its top; left as it is" ;;
        lacks)
            lacking=$((lacking + 1))
            if [ "$MODE" = --add ]; then
                add_line "$file"
                echo "added: $file"
            else
                echo "$file"
            fi ;;
    esac
done < <(candidate_files)

if [ "$MODE" = --add ]; then
    echo "spdx: line added to $lacking of $sources source files" >&2
elif [ "$lacking" -gt 0 ]; then
    echo "spdx: $lacking of $sources source files lack the line '$TAG' (tools/spdx.sh --add adds it)" >&2
    exit 1
elif [ "$others" -eq 0 ]; then
    echo "spdx: all $sources source files carry '$TAG'" >&2
fi
[ "$others" -eq 0 ] || exit 1
