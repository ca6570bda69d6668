# SPDX-License-Identifier: BSD-2-Clause
# What the benchmark scripts share, sourced by them: the built tools they need, the simulated
# day they time (made once into the build folder), and the median of their runs.

# Ends the script when a tool of the build is missing.
require_built() {
    local tool
    for tool in "$@"; do
        [[ -x "$tool" ]] || { echo "$(basename "$0"): $tool is missing; build the project first" >&2; exit 1; }
    done
}

# Makes the simulated day of the GSI station in DATA (RINEX day.obs, RTCM 3 day.rtcm3, NavCom
# day.nav) from the broadcast orbits NAV, unless it is there: make_day_inputs BUILD DATA NAV.
make_day_inputs() {
    local build="$1" data="$2" nav="$3"
    mkdir -p "$data"
    if [[ ! -s "$data/day.nav" || ! -s "$data/day.obs" || ! -s "$data/day.rtcm3" ]]; then
        echo "making the simulated day (RINEX, RTCM 3, NavCom) ..."
        "$build/bench/kestrel_make_day" "$nav" -o "$data/day.obs" --rtcm "$data/day.rtcm3"
        "$build/tools/rinex2navcom" "$data/day.obs" "$nav" -o "$data/day.nav" 2> "$data/day.nav.txt"
    fi
}

median() { printf '%s\n' "$@" | sort -g | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }
