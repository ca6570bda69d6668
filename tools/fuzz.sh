#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# Coverage-guided fuzzing of the library with libFuzzer (clang-14, AddressSanitizer and
# UndefinedBehaviorSanitizer). Six targets:
#   feed_byte       bytes through the frame parser, drained like the driver (first byte: switches)
#   convert_file    a whole conversion of the bytes as a file, outputs read back and counted
#   auto_detect     file detection on the bytes as a file
#   threadbuf_read  the exported ThreadBuf readers (and an append) on a hostile ThreadBuf image
#   rinex_convert   a RINEX conversion of the bytes as a file, both files read back and counted
#   rtcm_encode     the RTCM 3 encoder on arbitrary observation epochs and ephemerides, every
#                   frame read back and checked against what it was given
#   site_log        the IGS site-log reader on the bytes as text, entries in force checked
#   ntrip_request   the bytes as a request to the caster, a caster's answer, chunked data, credentials
#   stream_raw      the bytes as a live stream in reads of random sizes, cut into raw period files
#                   (byte 0: the period, byte 1: the read sizes), the files read back and checked
#
# Usage:
#   tools/fuzz.sh --short                  four minutes in all, shared by the targets (what CI runs)
#   tools/fuzz.sh --long [SECONDS]         SECONDS per target, 1200 by default; the corpora
#                                          grow in BUILD/corpus and are reused by later runs
#   tools/fuzz.sh --target NAME [SECONDS]  one target only (default 60 s)
#   tools/fuzz.sh --coverage               line coverage of src/ by the corpora in BUILD/corpus
# Environment: KESTREL_FUZZ_BUILD (default build-fuzz), KESTREL_FUZZ_COV_BUILD (default
# build-fuzz-cov). Fuzzing uses one core: the targets run one after another, one process
# each. A crash, hang, leak or failed check leaves its input in BUILD/artifacts/NAME/ and
# makes the script fail; replay it with BUILD/fuzz/fuzz_NAME FILE. Inputs that once failed
# are kept in fuzz/regressions/NAME/ and replayed by every run.
set -euo pipefail
cd "$(dirname "$0")/.."

BUILD=${KESTREL_FUZZ_BUILD:-build-fuzz}
COV_BUILD=${KESTREL_FUZZ_COV_BUILD:-build-fuzz-cov}
TARGETS=(feed_byte convert_file auto_detect threadbuf_read rinex_convert rtcm_encode site_log ntrip_request stream_raw)
CC_BIN=${CC_FUZZ:-clang-14}
CXX_BIN=${CXX_FUZZ:-clang++-14}

# Longest input per target: short inputs give many more runs per second; a 4 kB start of a
# sample log already holds ephemerides and epochs. The seeds themselves are longer and are
# cut to this length.
max_len() {
  case "$1" in
    feed_byte|convert_file|rinex_convert|rtcm_encode|stream_raw) echo 4096 ;;
    ntrip_request) echo 6000 ;;
    auto_detect|site_log) echo 10000 ;;
    threadbuf_read) echo 16400 ;;
  esac
}

configure_and_build() {  # DIR [extra cmake arguments...]
  local dir=$1; shift
  mkdir -p "$dir"
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER="$CC_BIN" \
    -DCMAKE_CXX_COMPILER="$CXX_BIN" -DKESTREL_FUZZ=ON -DKESTREL_BUILD_TESTS=OFF \
    -DKESTREL_BUILD_BENCH=OFF -DKESTREL_BUILD_TOOLS=OFF "$@" >"$dir/cmake-output.log" 2>&1 ||
    { cat "$dir/cmake-output.log"; return 1; }
  cmake --build "$dir" -j2 --target fuzz_make_seeds \
    $(printf 'fuzz_%s ' "${TARGETS[@]}") >"$dir/build-output.log" 2>&1 ||
    { tail -50 "$dir/build-output.log"; return 1; }
}

make_seeds() {
  rm -rf "$BUILD/seeds"
  "$BUILD/fuzz/fuzz_make_seeds" data "$BUILD/seeds" >/dev/null
}

# Runs one target for SECONDS and prints its figures; returns non-zero on a finding.
run_target() {  # NAME SECONDS
  local name=$1 seconds=$2
  local corpus="$BUILD/corpus/$name" artifacts="$BUILD/artifacts/$name" log="$BUILD/logs/$name.log"
  mkdir -p "$corpus" "$artifacts" "$BUILD/logs"
  local inputs=("$corpus" "$BUILD/seeds/$name")
  [ -d "fuzz/regressions/$name" ] && inputs+=("fuzz/regressions/$name")
  local status=0
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
    "$BUILD/fuzz/fuzz_$name" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 \
    -max_len="$(max_len "$name")" -print_final_stats=1 -artifact_prefix="$artifacts/" \
    "${inputs[@]}" >"$log" 2>&1 || status=$?
  local done_line execs rate
  done_line=$(grep -E '^#[0-9]+[[:space:]]+(DONE|pulse|NEW|REDUCE)' "$log" | tail -1 || true)
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
  printf '%-15s %5ss  runs %-10s exec/s %-7s %s\n' "$name" "$seconds" "${execs:-?}" "${rate:-?}" \
    "$(echo "$done_line" | grep -oE 'cov: [0-9]+ ft: [0-9]+ corp: [0-9]+/[0-9]+[a-zA-Z]*' || true)"
  if [ "$status" -ne 0 ]; then
    echo "fuzz_$name found a problem (exit $status); its log: $log" >&2
    grep -E 'ERROR|fuzz check failed|SUMMARY|Test unit written' "$log" | head -20 >&2 || true
  fi
  return "$status"
}

coverage() {
  configure_and_build "$COV_BUILD" \
    -DCMAKE_CXX_FLAGS="-fprofile-instr-generate -fcoverage-mapping" \
    -DCMAKE_C_FLAGS="-fprofile-instr-generate -fcoverage-mapping" \
    -DCMAKE_EXE_LINKER_FLAGS="-fprofile-instr-generate"
  local profiles="$COV_BUILD/profiles"
  rm -rf "$profiles" && mkdir -p "$profiles"
  local objects=()
  for name in "${TARGETS[@]}"; do
    local dirs=("$BUILD/corpus/$name")
    [ -d "$BUILD/seeds/$name" ] && dirs+=("$BUILD/seeds/$name")
    [ -d "fuzz/regressions/$name" ] && dirs+=("fuzz/regressions/$name")
    LLVM_PROFILE_FILE="$profiles/$name-%p.profraw" ASAN_OPTIONS=detect_leaks=0 \
      "$COV_BUILD/fuzz/fuzz_$name" -runs=0 -max_len="$(max_len "$name")" "${dirs[@]}" \
      >"$profiles/$name.log" 2>&1
    objects+=(-object "$COV_BUILD/fuzz/fuzz_$name")
  done
  llvm-profdata-14 merge -sparse "$profiles"/*.profraw -o "$profiles/all.profdata"
  llvm-cov-14 report "${objects[@]:1}" -instr-profile="$profiles/all.profdata" \
    $(find "$PWD/src" -name '*.cpp' | sort)
}

mode=${1:---short}
case "$mode" in
  --short|--long|--target)
    configure_and_build "$BUILD"
    make_seeds
    failed=0
    if [ "$mode" = --target ]; then
      run_target "${2:?target name}" "${3:-60}" || failed=1
    else
      # CI's short run keeps four minutes in all, however many targets there are.
      seconds=$((240 / ${#TARGETS[@]}))
      [ "$mode" = --long ] && seconds=${2:-1200}
      for name in "${TARGETS[@]}"; do run_target "$name" "$seconds" || failed=1; done
    fi
    exit "$failed"
    ;;
  --coverage)
    [ -x "$BUILD/fuzz/fuzz_make_seeds" ] || { configure_and_build "$BUILD"; make_seeds; }
    coverage
    ;;
  *)
    sed -n '2,23p' "$0" | sed 's/^# \{0,1\}//'
    exit 2
    ;;
esac
