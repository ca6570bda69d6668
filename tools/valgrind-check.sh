#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# One conversion under valgrind's memcheck: no memory error, and no block lost. What the
# library keeps for the life of the process by design (decoder port states, the solution's
# matrices) may show as "still reachable"; nothing may show as definitely, indirectly or
# possibly lost.
#
#   tools/valgrind-check.sh [KESTREL_PROGRAM [LOG]]
#
# KESTREL_PROGRAM defaults to build/cli/kestrel, LOG to the longer real capture. Exits 0
# with a note when valgrind is not installed, 1 when memcheck finds anything.
set -euo pipefail
cd "$(dirname "$0")/.."

program=${1:-build/cli/kestrel}
log=${2:-data/navcom/gpsd-navcom-long-2012.log}
if ! command -v valgrind >/dev/null 2>&1; then
  echo "valgrind-check: valgrind is not installed; skipped"
  exit 0
fi
[ -x "$program" ] || { echo "valgrind-check: no program at $program" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
status=0
valgrind --tool=memcheck --leak-check=full --show-leak-kinds=all \
  --errors-for-leak-kinds=definite,indirect,possible --error-exitcode=3 --track-origins=yes \
  --log-file="$work/memcheck.txt" "$program" convert "$log" -o "$work/out" >"$work/stdout.txt" 2>&1 || status=$?
sed -n '/HEAP SUMMARY/,$p' "$work/memcheck.txt" | sed 's/^==[0-9]*== //'
if [ "$status" -ne 0 ]; then
  echo "valgrind-check: FAILED (exit $status)" >&2
  cat "$work/stdout.txt" >&2
  grep -B2 -A12 -E 'Invalid|uninitialised|definitely lost in|indirectly lost in|possibly lost in' \
    "$work/memcheck.txt" | head -80 >&2 || true
  exit 1
fi
[ -s "$work/out.obx" ] && [ -s "$work/out.epp" ] || { echo "valgrind-check: no output files" >&2; exit 1; }
echo "valgrind-check: 1 passed, 0 failed"
