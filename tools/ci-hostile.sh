#!/usr/bin/env bash
# CI's hostile-input checks, after the normal build and tests:
#   1. the library and every test built with AddressSanitizer and UndefinedBehaviorSanitizer
#      (build-asan), all tests run;
#   2. the short fuzz runs of tools/fuzz.sh (about a minute per target);
#   3. one conversion under valgrind's memcheck (tools/valgrind-check.sh) with the normal
#      build's kestrel command (build/cli/kestrel; built here if missing). The normal test run
#      holds the same check as the ctest entry Valgrind.OneConversionHasNoErrorAndNoLeak.
# Needs g++, cmake, GoogleTest, clang-14 with libclang-rt-14-dev, and valgrind.
set -euo pipefail
cd "$(dirname "$0")/.."

echo "== sanitizer build and tests"
cmake -S . -B build-asan -DKESTREL_SANITIZE=ON -DKESTREL_BUILD_BENCH=OFF >/dev/null
cmake --build build-asan -j2
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan --output-on-failure -j2

echo "== short fuzz runs"
tools/fuzz.sh --short

echo "== valgrind memcheck of one conversion"
if [ ! -x build/cli/kestrel ]; then
  cmake -S . -B build >/dev/null && cmake --build build -j2 --target kestrel_cli
fi
tools/valgrind-check.sh build/cli/kestrel
