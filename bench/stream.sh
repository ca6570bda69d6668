#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# Figures of `kestrel stream` on the simulated GSI station (bench/README.md):
#
#   bench/stream.sh [BUILD_DIR]        (default: build; RUNS=3 sets the runs per figure)
#
# - latency from the last byte of an epoch's MEASUREMENT frame read to the epoch handed to the
#   RINEX period collector, p50 and p99 over the simulated day at 1 Hz and over a simulated hour
#   at 10 Hz (kestrel_stream_latency);
# - CPU per hour of 10 Hz data with every output on (raw, RINEX, the quality check, gzip, the
#   status file), replayed as fast as it can be read; and the CPU of a paced run, the first
#   PACED_S seconds (default 60) of the 10 Hz hour replayed at the data's own pace (--speed 1),
#   as a share of one core;
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
# The station's first hour at 10 Hz, and its first PACED_S seconds for the paced run.
paced_s="${PACED_S:-60}"
if [[ ! -s "$data/hour10.nav" ]]; then
    echo "making the 10 Hz hour ..."
    "$build/bench/kestrel_make_day" "$nav" -o "$data/hour10.obs" --hours 1 --interval 0.1 2> /dev/null
    "$build/tools/rinex2navcom" "$data/hour10.obs" "$nav" -o "$data/hour10.nav" 2> "$data/hour10.nav.txt"
fi
if [[ ! -s "$data/paced10-$paced_s.nav" ]]; then
    first_sow=$(awk '/epochs:/ {print $5; exit}' "$data/hour10.nav.txt")
    "$build/tools/rinex2navcom" "$data/hour10.obs" "$nav" -o "$data/paced10-$paced_s.nav" \
        --end "$(awk -v s="$first_sow" -v d="$paced_s" 'BEGIN {printf "%.1f", s + d - 0.1}')" 2> "$data/paced10-$paced_s.nav.txt"
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
echo "latency, simulated hour at 10 Hz:"
"$latency" "$data/hour10.nav" "$out/latency10"

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

# CPU as a share of one core: seconds of CPU over seconds of data.
share() { awk -v c="$1" -v d="$2" 'BEGIN {printf "%.3f", (d > 0 ? 100 * c / d : 0)}'; }
all_outputs() {
    printf '%s\n' --raw "$out/raw" --rinex "$out/rinex" --period 1h --qc --gzip --status "$out/status.json"
}
mapfile -t every < <(all_outputs)
echo
echo "10 Hz, every output on (--raw --rinex --period 1h --qc --gzip --status):"
read -r h_wall h_cpu h_rss < <(measure "$runs" "$kestrel" stream "file:$data/hour10.nav" --speed 0 "${every[@]}")
hour_epochs=$(gzip -dc "$out/rinex/"*_GO.rnx.gz | grep -c '^>' || true)
echo "  the hour as fast as it can be read: wall $h_wall s, CPU $h_cpu s, peak RSS $(awk -v k="$h_rss" 'BEGIN {printf "%.1f", k / 1024}') MB," \
    "$hour_epochs epochs written; CPU per hour of 10 Hz data: $(share "$h_cpu" 3600) % of a core"
paced_epochs=$(awk '/epochs:/ {sub(",", "", $2); print $2; exit}' "$data/paced10-$paced_s.nav.txt")
paced_data_s=$(awk -v n="$paced_epochs" 'BEGIN {printf "%.1f", n / 10}')
read -r p_wall p_cpu p_rss < <(measure 1 "$kestrel" stream "file:$data/paced10-$paced_s.nav" --speed 1 "${every[@]}")
echo "  paced (--speed 1), $paced_data_s s of data: wall $p_wall s, CPU $p_cpu s, peak RSS" \
    "$(awk -v k="$p_rss" 'BEGIN {printf "%.1f", k / 1024}') MB; $(share "$p_cpu" "$paced_data_s") % of a core"
