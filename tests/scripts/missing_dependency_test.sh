#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# A dependency that cannot be found stops CMake's configuration with one line naming the
# Debian package to install: each dependency in turn hidden from a configuration of the tree.
#
#   tests/scripts/missing_dependency_test.sh SOURCE_DIR
set -u -o pipefail
SOURCE=${1:?usage: $0 SOURCE_DIR}

WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
PASSED=0
FAILED=0

# configure DESCRIPTION PACKAGE [cmake arguments...]: fails, naming PACKAGE.
configure() {
    local what=$1 package=$2
    shift 2
    local output
    if output=$(cmake -S "$SOURCE" -B "$WORK/build" -DKESTREL_BUILD_TOOLS=OFF "$@" 2>&1); then
        FAILED=$((FAILED + 1))
        echo "FAIL $what hidden: the configuration went through"
    elif grep -Eq "^ *[^ ].* not found: install the Debian package $package \(" <<<"$output"; then
        PASSED=$((PASSED + 1))
    else
        FAILED=$((FAILED + 1))
        echo "FAIL $what hidden: no line naming $package"
        tail -5 <<<"$output" | sed 's/^/    /'
    fi
}

# pkg-config modules first: pkg-config's answers are kept in the cache once found.
mkdir "$WORK/no-modules"
PKG_CONFIG_LIBDIR=$WORK/no-modules PKG_CONFIG_PATH= configure cairo libcairo2-dev
for hidden in CLI11:libcli11-dev nlohmann_json:nlohmann-json3-dev GTest:libgtest-dev benchmark:libbenchmark-dev; do
    flags=()
    for each in CLI11 nlohmann_json GTest benchmark; do
        flags+=("-DCMAKE_DISABLE_FIND_PACKAGE_$each=$([ "$each" = "${hidden%%:*}" ] && echo ON || echo OFF)")
    done
    configure "${hidden%%:*}" "${hidden#*:}" "${flags[@]}"
done

echo "$PASSED passed, $FAILED failed"
[ "$FAILED" -eq 0 ]
