#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# Times Kestrel (OBX and RINEX conversions, quality checks) against the GNSS tools a user would otherwise
# reach for, on the same observations, in one run on this machine:
#
#   bench/compare.sh [BUILD_DIR]        (default: build; RUNS=5 sets the runs per figure)
#
# Inputs are made here, into BUILD_DIR/bench-data, never into the source tree: a simulated
# day of 1 Hz observations of the GSI station along the broadcast orbits of data/orbits,
# written as RINEX (for rnx2rtkp) and as RTCM 3 (for convbin), and turned into NavCom logs
# of 1 hour, 24 hours and 7 days by rinex2navcom. Every figure is the median of RUNS runs;
# "wall" is elapsed time, "cpu" user + system time (steadier on a shared machine).
set -euo pipefail

here="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "${1:-$here/build}" && pwd)"
runs="${RUNS:-5}"
peer_runs="${PEER_RUNS:-3}"
data="$build/bench-data"
nav="$here/data/orbits/brdc1820.10n"
kestrel="$build/cli/kestrel"
make_day="$build/bench/kestrel_make_day"
rinex2navcom="$build/tools/rinex2navcom"
day_epochs=86400

# shellcheck source=bench/lib.sh
source "$here/bench/lib.sh"
require_built "$kestrel" "$make_day" "$rinex2navcom"
require_installed convbin rnx2rtkp /usr/bin/time
mkdir -p "$data/out"

# --- inputs -----------------------------------------------------------------------------
make_day_inputs "$build" "$data" "$nav"
if [[ ! -s "$data/hour.nav" ]]; then
    "$make_day" "$nav" -o "$data/hour.obs" --hours 1 2> /dev/null
    "$rinex2navcom" "$data/hour.obs" "$nav" -o "$data/hour.nav" 2> "$data/hour.nav.txt"
fi
if [[ ! -s "$data/hours3.nav" ]]; then
    "$make_day" "$nav" -o "$data/hours3.obs" --hours 3 2> /dev/null
    "$rinex2navcom" "$data/hours3.obs" "$nav" -o "$data/hours3.nav" 2> "$data/hours3.nav.txt"
fi
if [[ ! -s "$data/week.nav" ]]; then
    echo "making the 7-day log ..."
    # Seven copies of the day, a week apart: the times of week, and so every ephemeris
    # lookup, stay those of the simulated day (copies a day apart would meet ephemerides
    # of the day before whose reference times reach into the next copy).
    "$rinex2navcom" "$data/day.obs" "$nav" -o "$data/week.nav" --repeat-weeks 6 2> "$data/week.nav.txt"
fi

# --- timing -----------------------------------------------------------------------------
stats="$data/out/time.txt"

log_bytes=$(bytes "$data/day.nav")
rtcm_bytes=$(bytes "$data/day.rtcm3")
obs_bytes=$(bytes "$data/day.obs")

echo
echo "inputs: 24-hour 1 Hz log $(mb "$log_bytes") MB ($(grep -o 'satellite blocks: [0-9]*' "$data/day.nav.txt" | awk '{printf "%.2f", $3 / 86400}') satellites an epoch), RTCM 3 $(mb "$rtcm_bytes") MB, RINEX $(mb "$obs_bytes") MB"
echo "runs per figure: $runs (peers: $peer_runs); medians"
echo

read -r cat_wall cat_cpu _ < <(measure "$runs" cat "$data/day.nav")
read -r kp_wall kp_cpu _ < <(measure "$runs" "$kestrel" convert "$data/day.nav" -o "$data/out/parse" -q --no-clock-correction)
read -r kf_wall kf_cpu _ < <(measure "$runs" "$kestrel" convert "$data/day.nav" -o "$data/out/full" -q)
read -r kr_wall kr_cpu _ < <(measure "$runs" "$kestrel" rinex "$data/day.nav" -d "$data/out/rinex" -q)
read -r krn_wall krn_cpu _ < <(measure "$runs" "$kestrel" rinex "$data/day.nav" -d "$data/out/rinex-nc" -q \
    --no-clock-correction)
read -r kq_wall kq_cpu _ < <(measure "$runs" "$kestrel" qc "$data/day.nav")
read -r kqp_wall kqp_cpu _ < <(measure "$runs" "$kestrel" qc "$data/day.nav" --json "$data/out/qc.json" \
    --plot "$data/out/qc.png")
read -r cb_wall cb_cpu _ < <(measure "$peer_runs" convbin -r rtcm3 -v 3.04 -tr 2010/07/01 00:00:00 "$data/day.rtcm3" \
    -d "$data/out" -o "$data/out/convbin.obs" -n "$data/out/convbin.nav")
read -r rr_wall rr_cpu _ < <(measure "$peer_runs" rnx2rtkp -p 0 -o "$data/out/rnx2rtkp.pos" "$data/day.obs" "$nav")

# What the peers made of the day, so that a figure never rests on a run that failed.
convbin_epochs=$(grep -c '^>' "$data/out/convbin.obs" || true)
convbin_ephemerides=$(grep -c '^G' "$data/out/convbin.nav" || true)
rnx2rtkp_epochs=$(grep -vc '^%' "$data/out/rnx2rtkp.pos" || true)
kestrel_rinex_epochs=$(cat "$data/out/rinex/"*_GO.rnx | grep -c '^>' || true)
kestrel_rinex_nc_epochs=$(cat "$data/out/rinex-nc/"*_GO.rnx | grep -c '^>' || true)
echo "convbin decoded $convbin_epochs epochs and $convbin_ephemerides ephemerides; rnx2rtkp solved $rnx2rtkp_epochs epochs"
echo "kestrel rinex wrote $kestrel_rinex_epochs epochs ($kestrel_rinex_nc_epochs without clock correction)"
echo

row() { printf '%-44s %8.3f s wall %8.3f s cpu   %s\n' "$1" "$2" "$3" "$4"; }
row "cat LOG > /dev/null (floor)" "$cat_wall" "$cat_cpu" "$(rate "$(mb "$log_bytes")" "$cat_wall") MB/s"
row "kestrel convert --no-clock-correction" "$kp_wall" "$kp_cpu" \
    "$(rate "$(mb "$log_bytes")" "$kp_wall") MB/s wall, $(rate "$(mb "$log_bytes")" "$kp_cpu") MB/s cpu, $(rate $day_epochs "$kp_wall") epochs/s"
row "kestrel convert (clock correction)" "$kf_wall" "$kf_cpu" \
    "$(rate $day_epochs "$kf_wall") epochs/s wall, $(rate $day_epochs "$kf_cpu") epochs/s cpu, $(rate "$(mb "$log_bytes")" "$kf_wall") MB/s"
row "kestrel rinex (3.04, clock correction)" "$kr_wall" "$kr_cpu" \
    "$(rate $day_epochs "$kr_wall") epochs/s wall, $(rate $day_epochs "$kr_cpu") epochs/s cpu"
row "kestrel rinex --no-clock-correction" "$krn_wall" "$krn_cpu" \
    "$(rate $day_epochs "$krn_wall") epochs/s wall, $(rate $day_epochs "$krn_cpu") epochs/s cpu"
row "kestrel qc" "$kq_wall" "$kq_cpu" "$(rate $day_epochs "$kq_wall") epochs/s wall, $(rate $day_epochs "$kq_cpu") epochs/s cpu"
row "kestrel qc --json --plot PNG" "$kqp_wall" "$kqp_cpu" \
    "$(rate $day_epochs "$kqp_wall") epochs/s wall, $(rate $day_epochs "$kqp_cpu") epochs/s cpu"
row "convbin -r rtcm3 -v 3.04 (same day as RTCM 3)" "$cb_wall" "$cb_cpu" \
    "$(rate "$(mb "$rtcm_bytes")" "$cb_wall") MB/s wall, $(rate "$(mb "$rtcm_bytes")" "$cb_cpu") MB/s cpu, $(rate $day_epochs "$cb_wall") epochs/s"
row "rnx2rtkp -p 0 (same day as RINEX)" "$rr_wall" "$rr_cpu" \
    "$(rate $day_epochs "$rr_wall") epochs/s wall, $(rate $day_epochs "$rr_cpu") epochs/s cpu"

echo
echo "ratios (wall / cpu):"
printf '  parse-only MB/s over convbin MB/s:        %sx / %sx   (target 8x)\n' \
    "$(ratio "$(awk -v a="$log_bytes" -v t="$kp_wall" 'BEGIN {print a / t}')" "$(awk -v a="$rtcm_bytes" -v t="$cb_wall" 'BEGIN {print a / t}')")" \
    "$(ratio "$(awk -v a="$log_bytes" -v t="$kp_cpu" 'BEGIN {print a / t}')" "$(awk -v a="$rtcm_bytes" -v t="$cb_cpu" 'BEGIN {print a / t}')")"
printf '  full conversion epochs/s over rnx2rtkp:   %sx / %sx   (target 8x)\n' \
    "$(ratio "$rr_wall" "$kf_wall")" "$(ratio "$rr_cpu" "$kf_cpu")"
printf '  rinex epochs/s over convbin -v 3.04:       %sx / %sx   (target 2x)\n' \
    "$(ratio "$cb_wall" "$kr_wall")" "$(ratio "$cb_cpu" "$kr_cpu")"
printf '  rinex --no-clock-correction over convbin: %sx / %sx   (target 5x)\n' \
    "$(ratio "$cb_wall" "$krn_wall")" "$(ratio "$cb_cpu" "$krn_cpu")"
printf '  rinex time over convert time:             %sx / %sx   (target at most 1.5x)\n' \
    "$(ratio "$kr_wall" "$kf_wall")" "$(ratio "$kr_cpu" "$kf_cpu")"
printf '  rinex time over convert, both no clock:   %sx / %sx\n' \
    "$(ratio "$krn_wall" "$kp_wall")" "$(ratio "$krn_cpu" "$kp_cpu")"
printf '  qc time over convert time:                %sx / %sx   (target at most 2x)\n' \
    "$(ratio "$kq_wall" "$kf_wall")" "$(ratio "$kq_cpu" "$kf_cpu")"
printf '  qc with JSON and plot over convert:       %sx / %sx\n' \
    "$(ratio "$kqp_wall" "$kf_wall")" "$(ratio "$kqp_cpu" "$kf_cpu")"
printf '  parse-only time over cat time:            %sx\n' "$(ratio "$kp_wall" "$cat_wall")"
printf '  clock correction time over parse-only:    %sx\n' "$(ratio "$kf_wall" "$kp_wall")"

echo
echo "peak resident memory of kestrel convert (clock correction on):"
for name in hour day week; do
    read -r wall _ rss < <(measure 1 "$kestrel" convert "$data/$name.nav" -o "$data/out/mem" -q)
    printf '  %-5s log %9.2f MB: %6d KB  (%.2f s)\n' "$name" "$(mb "$(bytes "$data/$name.nav")")" "$rss" "$wall"
done
echo "peak resident memory of kestrel rinex (3.04, clock correction on):"
for name in hour day week; do
    read -r wall _ rss < <(measure 1 "$kestrel" rinex "$data/$name.nav" -d "$data/out/rinex-mem" -q)
    printf '  %-5s log %9.2f MB: %6d KB  (%.2f s)\n' "$name" "$(mb "$(bytes "$data/$name.nav")")" "$rss" "$wall"
    rm -rf "$data/out/rinex-mem"
done

echo "peak resident memory of kestrel qc (summary only / with JSON and a PNG plot):"
for name in hour day week; do
    read -r wall _ rss < <(measure 1 "$kestrel" qc "$data/$name.nav")
    read -r pwall _ prss < <(measure 1 "$kestrel" qc "$data/$name.nav" --json "$data/out/qc-mem.json" \
        --plot "$data/out/qc-mem.png")
    printf '  %-5s log %9.2f MB: %6d KB  (%.2f s) / %6d KB  (%.2f s)\n' "$name" "$(mb "$(bytes "$data/$name.nav")")" \
        "$rss" "$wall" "$prss" "$pwall"
done

# Heap allocations of whole conversions: they may grow with the ephemerides stored, never
# with the epochs.
if command -v valgrind > /dev/null; then
    echo
    echo "heap allocations of kestrel convert (clock correction on), by valgrind:"
    for name in hour hours3; do
        allocs=$(valgrind "$kestrel" convert "$data/$name.nav" -o "$data/out/heap" -q 2>&1 > /dev/null |
                 sed -n 's/.*total heap usage: \([0-9,]*\) allocs.*/\1/p')
        epochs=$(grep -o 'epochs: [0-9]*' "$data/$name.nav.txt" | awk '{print $2}')
        ephemerides=$(grep -o 'ephemerides: [0-9]*' "$data/$name.nav.txt" | awk '{print $2}')
        printf '  %-6s log: %6s epochs, %4s ephemerides: %s allocations\n' "$name" "$epochs" "$ephemerides" "$allocs"
    done
fi
rm -f "$data/out/"*.obx "$data/out/"*.epp "$data/out/"qc*.json "$data/out/"qc*.png
rm -rf "$data/out/rinex" "$data/out/rinex-nc"
