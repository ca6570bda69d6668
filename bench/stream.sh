#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# Figures of `kestrel stream` on the simulated GSI station (bench/README.md):
#
#   bench/stream.sh [BUILD_DIR]        (default: build; RUNS=3 sets the runs per figure)
#
# - latency from the last byte of an epoch's MEASUREMENT frame read to the epoch handed to the
#   RINEX period collector, p50 and p99 over the simulated day at 1 Hz (kestrel_stream_latency);
# - the simulated week replayed as fast as it can be read (file:LOG --speed 0) into hourly raw
#   and RINEX files, against `kestrel rinex` of the same week: wall time, CPU time, throughput
#   and peak resident memory.
# Inputs are made into BUILD_DIR/bench-data as bench/compare.sh makes them.
set -euo pipefail

here="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "${1:-$here/build}" && pwd)"
runs="${RUNS:-3}"
data="$build/bench-data"
nav="$here/data/orbits/brdc1820.10n"
kestrel="$build/cli/kestrel"
latency="$build/bench/kestrel_stream_latency"

# shellcheck source=bench/lib.sh
source "$here/bench/lib.sh"
require_built "$kestrel" "$latency" "$build/bench/kestrel_make_day" "$build/tools/rinex2navcom"
command -v /usr/bin/time > /dev/null || { echo "stream.sh: /usr/bin/time is not installed" >&2; exit 1; }
make_day_inputs "$build" "$data" "$nav"
if [[ ! -s "$data/week.nav" ]]; then
    echo "making the 7-day log ..."
    "$build/tools/rinex2navcom" "$data/day.obs" "$nav" -o "$data/week.nav" --repeat-weeks 6 2> "$data/week.nav.txt"
fi
out="$data/out-stream"

# Each run into fresh folders.
stats="$out/time.txt"
fresh_folders() { rm -rf "$out/raw" "$out/rinex" && mkdir -p "$out/raw" "$out/rinex"; }
before_each=fresh_folders
mbps() { awk -v b="$1" -v t="$2" 'BEGIN {printf "%.1f", (t > 0 ? b / 1e6 / t : 0)}'; }

mkdir -p "$out"
echo "latency, simulated day at 1 Hz (one read per MEASUREMENT frame):"
"$latency" "$data/day.nav" "$out/latency"

week_bytes=$(stat -c %s "$data/week.nav")
echo
echo "simulated week, $(awk -v b="$week_bytes" 'BEGIN {printf "%.1f", b / 1e6}') MB, runs per figure: $runs (medians)"
read -r r_wall r_cpu r_rss < <(measure "$runs" "$kestrel" rinex "$data/week.nav" -d "$out/rinex" -q)
read -r s_wall s_cpu s_rss < <(measure "$runs" "$kestrel" stream "file:$data/week.nav" --speed 0 --raw "$out/raw" \
    --rinex "$out/rinex" --period 1h)
periods=$(find "$out/rinex" -name '*_GO.rnx' | wc -l)
stream_epochs=$(cat "$out/rinex/"*_GO.rnx | grep -c '^>' || true)
printf '%-44s %8s %8s %10s %12s\n' "" "wall s" "cpu s" "MB/s" "peak RSS MB"
printf '%-44s %8s %8s %10s %12s\n' "kestrel rinex week.nav" "$r_wall" "$r_cpu" "$(mbps "$week_bytes" "$r_wall")" \
    "$(awk -v k="$r_rss" 'BEGIN {printf "%.1f", k / 1024}')"
printf '%-44s %8s %8s %10s %12s\n' "kestrel stream file:week.nav --speed 0 (1h)" "$s_wall" "$s_cpu" \
    "$(mbps "$week_bytes" "$s_wall")" "$(awk -v k="$s_rss" 'BEGIN {printf "%.1f", k / 1024}')"
echo "stream: $periods hourly observation files, $stream_epochs epochs; throughput $(awk -v a="$r_wall" -v b="$s_wall" 'BEGIN {printf "%.2f", a / b}') of rinex's"
