#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# CI's hostile-input checks, after the normal build and tests:
#   1. the library and every test built with AddressSanitizer and UndefinedBehaviorSanitizer
#      (build-asan), all tests run but the checks of scripts, packaging and documentation;
#   2. the short fuzz runs of tools/fuzz.sh (four minutes in all);
# The valgrind memcheck of one conversion is a ctest entry of the normal build
# (Valgrind.OneConversionHasNoErrorAndNoLeak), so it is not repeated here.
# Needs g++, cmake, GoogleTest, and clang-14 with libclang-rt-14-dev.
set -euo pipefail
cd "$(dirname "$0")/.."

echo "== sanitizer build and tests"
# -O1 with line tables only: the sanitizers' reports keep their file and line, and the build
# takes about half the time of -O2 -g (the stage's longest part).
cmake -S . -B build-asan -DKESTREL_SANITIZE=ON -DKESTREL_BUILD_BENCH=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG" -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG" >/dev/null
cmake --build build-asan -j2
# The checks of the tree's scripts, packaging and documentation (and the browser's view of a
# page) run no code of ours that the other tests do not: the normal build ran them.
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan --output-on-failure -j2 -E '^(Packaging|WindowsScript|Sources|Tools|QcHtmlInBrowser)\.'

echo "== short fuzz runs"
tools/fuzz.sh --short
