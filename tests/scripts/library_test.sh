#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# The shared library as programs see it: its SONAME is libkestrel.so.MAJOR, and its dynamic
# symbol table defines the ten host functions and nothing else.
#
#   tests/scripts/library_test.sh LIBRARY MAJOR
set -u -o pipefail
LIB=${1:?usage: $0 LIBRARY MAJOR}
MAJOR=${2:?usage: $0 LIBRARY MAJOR}

EXPECTED="Abort
AutoDetect
ConvertFile
GetErrString
GetThreadBufRecCount
GetThreadBufRecSize
GetThreadBufSize
ReadThreadBufData
SetFactoryDefaults
SetThreadBufSize"

. "$(dirname "$0")/checks.sh"

soname=$(readelf -d "$LIB" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
check "SONAME" "libkestrel.so.$MAJOR" "$soname"
# Defined symbols of the dynamic table, without symbol versions.
defined=$(nm -D --defined-only "$LIB" | awk '{ sub(/@.*/, "", $3); print $3 }' | sort)
check "dynamic symbols defined: the ten functions" "$EXPECTED" "$defined"
types=$(nm -D --defined-only "$LIB" | awk '{ print $2 }' | sort -u)
check "all ten are functions in the text section" "T" "$types"

finish
