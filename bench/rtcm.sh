#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# Times `kestrel rtcm` writing the simulated day (86,400 epochs at 1 Hz) as RTCM 3 against
# RTKLIB's convbin decoding the very file it wrote, for each kind of observation message, in
# one run on this machine:
#
#   bench/rtcm.sh [BUILD_DIR]        (default: build; RUNS=5 and PEER_RUNS=3 runs per figure)
#
# The goal: kestrel writes at least 3 times as many epochs a second as convbin reads. Then the
# live station's latency (kestrel_rtcm_latency): from the last byte of an epoch's MEASUREMENT
# frame read to its messages read by a rover of the raw TCP server, p50 and p99 (goal: p99
# under 1 ms). Every
# figure is the median of its runs; "wall" is elapsed time, "cpu" user + system time (steadier
# on a shared machine). Inputs go into BUILD_DIR/bench-data, as for compare.sh.
set -euo pipefail

here="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "${1:-$here/build}" && pwd)"
runs="${RUNS:-5}"
peer_runs="${PEER_RUNS:-3}"
data="$build/bench-data"
nav="$here/data/orbits/brdc1820.10n"
kestrel="$build/cli/kestrel"
day_epochs=86400
station="-3976219.5082,3382372.5671,3652512.9849"

# shellcheck source=bench/lib.sh
source "$here/bench/lib.sh"
require_built "$kestrel" "$build/bench/kestrel_rtcm_latency" "$build/bench/kestrel_make_day" "$build/tools/rinex2navcom"
require_installed convbin /usr/bin/time
make_day_inputs "$build" "$data" "$nav"
out="$data/out"
mkdir -p "$out"
stats="$out/time.txt"

echo "the simulated day: $(mb "$(bytes "$data/day.nav")") MB NavCom log, $day_epochs epochs"
echo "runs per figure: $runs (convbin: $peer_runs); medians"
printf '%-22s %-34s %-34s %s\n' "" "kestrel rtcm (wall / cpu)" "convbin -r rtcm3 (wall / cpu)" "epochs/s ratio (wall / cpu)"
# Each kind of observation message with the surveyed position, and MSM4 with the position
# gathered from the first ten minutes of single-point solutions (the solver runs that long).
for run in 1074:given 1077:given 1004:given 1074:solved; do
    msg=${run%%:*}
    position=()
    [[ "$run" == *:given ]] && position=(--position "$station")
    file="$out/day-$msg.rtcm3"
    read -r k_wall k_cpu _ < <(measure "$runs" "$kestrel" rtcm "$data/day.nav" -o "$file" -q \
        --msg "$msg,1019,1006(10),1033(10)" "${position[@]}")
    read -r c_wall c_cpu _ < <(measure "$peer_runs" convbin -r rtcm3 -v 3.04 -tr 2010/07/01 00:00:00 "$file" \
        -o "$out/day-$msg.obs" -n "$out/day-$msg.nav")
    decoded=$(grep -c '^>' "$out/day-$msg.obs" || true)
    [[ "$decoded" == "$day_epochs" ]] || echo "convbin decoded $decoded epochs of $msg, not $day_epochs" >&2
    printf '%-22s %7.2f s / %6.2f s %9s/s  %7.2f s / %6.2f s %9s/s  %sx / %sx\n' \
        "$msg, position ${run#*:}" "$k_wall" "$k_cpu" "$(rate $day_epochs "$k_wall")" "$c_wall" "$c_cpu" \
        "$(rate $day_epochs "$c_wall")" "$(ratio "$c_wall" "$k_wall")" "$(ratio "$c_cpu" "$k_cpu")"
    rm -f "$file" "$out/day-$msg.obs" "$out/day-$msg.nav"
done
echo "(goal: at least 3x)"

echo
echo "live latency, MEASUREMENT frame's last byte read -> its epoch's messages read by a rover of"
echo "tcpsvr:// on the loopback interface; the simulated day's first ${LATENCY_EPOCHS:-20000} epochs, 2 ms apart:"
"$build/bench/kestrel_rtcm_latency" "$data/day.nav" --epochs "${LATENCY_EPOCHS:-20000}" --gap-ms 2
echo "(goal: p99 under 1 ms)"
