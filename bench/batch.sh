#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# Times `kestrel convert` over an archive of 48 one-hour logs with one worker and with one
# worker per processor, and projects a year of daily logs from the measured rate:
#
#   bench/batch.sh [BUILD_DIR]        (default: build; RUNS=3 sets the runs per figure)
#
# The logs are the 24 hours of the simulated station day that bench/compare.sh makes (made
# here if missing), cut by rinex2navcom, each twice (two receivers' folders): 48 logs.
set -euo pipefail

here="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "${1:-$here/build}" && pwd)"
runs="${RUNS:-3}"
data="$build/bench-data"
archive="$data/archive"
nav="$here/data/orbits/brdc1820.10n"
kestrel="$build/cli/kestrel"
cores=$(nproc)
# shellcheck source=bench/lib.sh
source "$here/bench/lib.sh"
require_built "$kestrel" "$build/bench/kestrel_make_day" "$build/tools/rinex2navcom"
make_day_inputs "$build" "$data" "$nav"
if [[ ! -d "$archive" || $(find "$archive" -name '*.nav' | wc -l) -ne 48 ]]; then
    echo "cutting 48 one-hour logs ..."
    rm -rf "$archive"
    mkdir -p "$archive/rx1" "$archive/rx2"
    start=$(awk '/TIME OF FIRST OBS/ {print $4 * 3600 + $5 * 60 + $6; exit}' "$data/day.obs")
    week_start=345600  # 2010-07-01 is the Thursday of GPS week 1590
    for hour in $(seq 0 23); do
        from=$((week_start + start + hour * 3600))
        name=$(printf 'hour%02d.nav' "$hour")
        "$build/tools/rinex2navcom" "$data/day.obs" "$nav" -o "$archive/rx1/rx1-$name" \
            --start "$from" --end $((from + 3599)) 2> /dev/null
        cp "$archive/rx1/rx1-$name" "$archive/rx2/rx2-$name"
    done
fi

bytes=$(find "$archive" -name '*.nav' -printf '%s\n' | awk '{s += $1} END {print s}')
mapfile -t files < <(find "$archive" -name '*.nav' | sort)
logs=48
time_batch() {
    local jobs="$1" walls=()
    for ((i = 0; i < runs; i++)); do
        rm -rf "$data/archive-out"
        local t0 t1
        t0=$(date +%s.%N)
        # Named one by one: the later hours begin with a day's ephemerides, more than the
        # first 8000 bytes that detection (and so -r) looks at.
        "$kestrel" convert "${files[@]}" -d "$data/archive-out" -j "$jobs" -q > /dev/null 2> "$data/archive.err"
        t1=$(date +%s.%N)
        walls+=("$(awk -v a="$t0" -v b="$t1" 'BEGIN {printf "%.4f", b - a}')")
    done
    median "${walls[@]}"
}

echo "archive: $logs logs, $(awk -v b="$bytes" 'BEGIN {printf "%.1f", b / 1e6}') MB; $cores processors; load $(cut -d' ' -f1-3 /proc/loadavg); $runs runs each, medians"
one=$(time_batch 1)
all=$(time_batch "$cores")
outputs=$(find "$data/archive-out" -name '*.obx' | wc -l)
[[ "$outputs" -eq $logs ]] || { echo "batch.sh: only $outputs of $logs logs converted" >&2; exit 1; }
awk -v one="$one" -v all="$all" -v n="$logs" -v b="$bytes" -v c="$cores" 'BEGIN {
    printf "  -j 1: %7.2f s  %6.1f logs/s  %6.1f MB/s\n", one, n / one, b / 1e6 / one
    printf "  -j %d: %7.2f s  %6.1f logs/s  %6.1f MB/s   speed-up %.2fx (target 1.8x on 2 cores)\n", c, all, n / all, b / 1e6 / all, one / all
    per_core = b / 1e6 / one            # MB/s one worker converts
    day = b / n * 24 / 1e6              # MB of one receiver day at 1 Hz
    year = day * 365
    printf "  one worker converts %.1f MB/s; a year of 1 Hz daily logs of one receiver is %.0f MB\n", per_core, year
    printf "  projection: a year of one receiver on a 64-core host %.0f s; 100 receivers on a 1000-core cluster %.0f s\n",
           year / (per_core * 64), 100 * year / (per_core * 1000)
}'
