#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# tools/spdx.sh on a small git work tree: which files count as sources, the comment syntax
# and place of the line it adds, that adding twice changes nothing, that scripts stay
# executable, and that a file naming another license is reported and left alone.
#
#   tests/scripts/spdx_test.sh SPDX_SCRIPT
set -u -o pipefail
SPDX=${1:?usage: $0 SPDX_SCRIPT}
command -v git >/dev/null || { echo "git is not installed"; exit 77; }

. "$(dirname "$0")/checks.sh"

WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
cd "$WORK" || exit 1
git init -q . && git config user.email t@t && git config user.name t

# path | text written | first lines expected after --add ("" when the file is left alone)
CASES=(
    "src/a.cpp|// Frame parser.\nint a;\n|// SPDX-License-Identifier: BSD-2-Clause\n// Frame parser.\nint a;"
    "src/a.h|#pragma once\n|// SPDX-License-Identifier: BSD-2-Clause\n#pragma once"
    "include/k.h|/*\n * Public header.\n */\n|/* SPDX-License-Identifier: BSD-2-Clause */\n/*\n * Public header.\n */"
    "c/x.c|int x;\n|/* SPDX-License-Identifier: BSD-2-Clause */\nint x;"
    "tools/run.sh|#!/bin/sh\n# Runs.\necho hi\n|#!/bin/sh\n# SPDX-License-Identifier: BSD-2-Clause\n# Runs.\necho hi"
    "CMakeLists.txt|project(x)\n|# SPDX-License-Identifier: BSD-2-Clause\nproject(x)"
    "sub/CMakeLists.txt|add_library(y)|# SPDX-License-Identifier: BSD-2-Clause\nadd_library(y)"
    "cmake/t.cmake||# SPDX-License-Identifier: BSD-2-Clause"
    "py/tool.py|#!/usr/bin/env python3\nprint(1)\n|#!/usr/bin/env python3\n# SPDX-License-Identifier: BSD-2-Clause\nprint(1)"
    "done.cpp|// SPDX-License-Identifier: BSD-2-Clause\nint d;\n|// SPDX-License-Identifier: BSD-2-Clause\nint d;"
    "vendored.h|// SPDX-License-Identifier: MIT\nint v;\n|// SPDX-License-Identifier: MIT\nint v;"
    "data/navcom/x.h|raw\n|raw"
    "fuzz/regressions/t/case.c|raw\n|raw"
    "notes.md|# Notes\n|# Notes"
    "late.cpp|int late;\n|// SPDX-License-Identifier: BSD-2-Clause\nint late;"
    "build/gen.cpp|int g;\n|int g;"
)
printf 'build/\n' >.gitignore
for case in "${CASES[@]}"; do
    IFS='|' read -r path text _ <<<"$case"
    mkdir -p "$(dirname "$path")"
    printf "$text" >"$path"
done
chmod +x tools/run.sh
# late.cpp is new and not yet added: it counts all the same; build/ is ignored.
git add -- $(git ls-files --others --exclude-standard | grep -v '^late.cpp$') && git commit -qm files

out=$("$SPDX" --check "$WORK" 2>/dev/null)
status=$?
check "--check fails while files lack the line" 1 "$status"
check "--check lists the files without the line, and the one with another license" \
    "CMakeLists.txt
c/x.c
cmake/t.cmake
include/k.h
late.cpp
py/tool.py
src/a.cpp
src/a.h
sub/CMakeLists.txt
tools/run.sh
vendored.h: names another license at its top; left as it is" "$(sort <<<"$out")"

"$SPDX" --add "$WORK" >/dev/null 2>&1
check "--add ends with status 1 when a file names another license" 1 $?
for case in "${CASES[@]}"; do
    IFS='|' read -r path _ expected <<<"$case"
    check "$path after --add" "$(printf "$expected")" "$(cat "$path")"
done
check "a script stays executable" yes "$([ -x tools/run.sh ] && echo yes || echo no)"

before=$(cat $(git ls-files --others --exclude-standard; git ls-files) | md5sum)
"$SPDX" --add "$WORK" >/dev/null 2>&1
check "a second --add changes nothing" "$before" "$(cat $(git ls-files --others --exclude-standard; git ls-files) | md5sum)"

out=$("$SPDX" --check "$WORK" 2>/dev/null)
check "--check after --add lists only the other license" 1 $?
check "--check after --add, output" "vendored.h: names another license at its top; left as it is" "$out"

rm vendored.h
"$SPDX" --check "$WORK" >/dev/null 2>&1
check "--check passes once every source file carries the line" 0 $?

# Outside a git checkout every file counts, but for build folders.
rm -rf .git
printf 'int n;\n' >new.cpp
out=$("$SPDX" --check "$WORK" 2>/dev/null)
check "--check without git lists the new file, not the build folder's" "new.cpp" "$out"

finish
