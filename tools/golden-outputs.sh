#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# Converts a fixed set of logs with a built `kestrel` and keeps everything a conversion
# produces (OBX file, ephemeris file, RINEX 3.04 and 2.11 observation and navigation files,
# messages, summary line without its timing) in one folder, so that two builds can be
# compared byte for byte:
#
#   tools/golden-outputs.sh BUILD_DIR OUT_DIR [--long]
#   diff -r OUT_A OUT_B && echo identical
#
# The OBX header's creation time (bytes 8..19) is zeroed, the only bytes that differ between
# two runs of the same code; the RINEX headers' creation time is fixed by SOURCE_DATE_EPOCH. --long adds the simulated 24-hour and 7-day logs that
# bench/compare.sh makes in BUILD_DIR/bench-data (made here if missing).
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "${1:?usage: golden-outputs.sh BUILD_DIR OUT_DIR [--long]}" && pwd)"
out="${2:?usage: golden-outputs.sh BUILD_DIR OUT_DIR [--long]}"
mkdir -p "$out"
out="$(cd "$out" && pwd)"
long="${3:-}"
kestrel="$build/cli/kestrel"
[[ -x "$kestrel" ]] || { echo "golden-outputs: $kestrel is missing; build first" >&2; exit 1; }

logs=("$root"/data/navcom/gpsd-navcom.log "$root"/data/navcom/gpsd-navcom-long-2012.log
      "$root"/data/navcom/gsi-0759-2005-092.nav)
if [[ "$long" == "--long" ]]; then
    data="$build/bench-data"
    nav="$root/data/orbits/brdc1820.10n"
    # shellcheck source=bench/lib.sh
    source "$root/bench/lib.sh"
    make_day_inputs "$build" "$data" "$nav"
    if [[ ! -s "$data/week.nav" ]]; then
        "$build/tools/rinex2navcom" "$data/day.obs" "$nav" -o "$data/week.nav" --repeat-weeks 6 \
            2> "$data/week.nav.txt"
    fi
    logs+=("$data/day.nav" "$data/week.nav")
fi

for log in "${logs[@]}"; do
    name="$(basename "$log")"
    for mode in default no-clock verbose; do
        case "$mode" in
            default) flags=() ;;
            no-clock) flags=(--no-clock-correction) ;;
            verbose) flags=(--verbose --flag-epochs --no-l2-slips) ;;
        esac
        # Written from inside the output folder under a relative name, since the OBX header
        # keeps the name the file was written under.
        stem="${name//./_}_${mode//-/_}"
        base="$out/$stem"
        set +e
        (cd "$out" && "$kestrel" convert "$log" -o "$stem" -q "${flags[@]}") > "$base.messages" 2> "$base.stderr"
        echo "exit $?" >> "$base.messages"
        set -e
        # The summary line ends with the conversion's duration.
        sed -i -E 's/ in [0-9.]+ s$//' "$base.messages"
        # Zero the creation time (month, day, year, hour, minute, second: bytes 8..19).
        printf '\0%.0s' {1..12} | dd of="$base.obx" bs=1 seek=8 conv=notrunc status=none
    done
done
# RINEX: both versions of every log; on the short logs also two decimated runs (lock lost in a
# dropped epoch is flagged at the next one written) and one with Doppler, no clock solution and
# only the satellites observed in the navigation file.
export SOURCE_DATE_EPOCH=1700000000
for log in "${logs[@]}"; do
    name="$(basename "$log")"
    modes=(v304 v211)
    [[ "$(stat -c %s "$log")" -lt 1000000 ]] && modes+=(every2s every60s doppler)
    for mode in "${modes[@]}"; do
        case "$mode" in
            v304) flags=(-v 3.04) ;;
            v211) flags=(-v 2.11) ;;
            every2s) flags=(-v 3.04 --interval 2) ;;
            every60s) flags=(-v 2.11 --interval 60) ;;
            doppler) flags=(-v 2.11 --doppler --no-clock-correction --tracked-only --no-l2-slips) ;;
        esac
        stem="${name//./_}_rinex_${mode}"
        base="$out/$stem"
        set +e
        (cd "$out" && "$kestrel" rinex "$log" -o "$stem.rnx" -n "$stem.rnxnav" -q "${flags[@]}") \
            > "$base.messages" 2> "$base.stderr"
        echo "exit $?" >> "$base.messages"
        set -e
        sed -i -E 's/ in [0-9.]+ s$//' "$base.messages" "$base.stderr"
    done
done
echo "golden-outputs: ${#logs[@]} logs, 3 option sets each for convert, 2 to 5 for rinex, in $out"
