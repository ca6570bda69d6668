# SPDX-License-Identifier: BSD-2-Clause
# shellcheck shell=bash
# What the benchmark scripts share, sourced by them: the built tools they need, the simulated
# day they time (made once into the build folder), and the median of their runs.

# Ends the script when a tool of the build is missing.
require_built() {
    local tool
    for tool in "$@"; do
        [[ -x "$tool" ]] || { echo "$(basename "$0"): $tool is missing; build the project first" >&2; exit 1; }
    done
}

# Ends the script when a peer or system tool is not installed.
require_installed() {
    local tool
    for tool in "$@"; do
        command -v "$tool" > /dev/null || { echo "$(basename "$0"): $tool is not installed" >&2; exit 1; }
    done
}

# Makes the simulated day of the GSI station in DATA (RINEX day.obs, NavCom day.nav, and that
# as RTCM 3 messages 1004 and 1019, day.rtcm3, by kestrel rtcm) from the broadcast orbits NAV,
# unless it is there: make_day_inputs BUILD DATA NAV.
make_day_inputs() {
    local build="$1" data="$2" nav="$3"
    mkdir -p "$data"
    if [[ ! -s "$data/day.nav" || ! -s "$data/day.obs" ]]; then
        echo "making the simulated day (RINEX, NavCom) ..."
        "$build/bench/kestrel_make_day" "$nav" -o "$data/day.obs"
        "$build/tools/rinex2navcom" "$data/day.obs" "$nav" -o "$data/day.nav" 2> "$data/day.nav.txt"
        rm -f "$data/day.rtcm3"
    fi
    if [[ ! -s "$data/day.rtcm3" ]]; then
        "$build/cli/kestrel" rtcm "$data/day.nav" -o "$data/day.rtcm3" -q --msg 1004,1019 \
            --position -3976219.5082,3382372.5671,3652512.9849 > /dev/null
    fi
}

median() { printf '%s\n' "$@" | sort -g | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }

# Runs a command `count` times; prints "wall cpu maxrss_kb" medians. The caller sets `stats`,
# the file /usr/bin/time writes to, and may set `before_each` to a command run before every
# run (one that empties the output folders, say).
measure() {
    local count="$1"; shift
    local walls=() cpus=() rss=()
    for ((i = 0; i < count; i++)); do
        if [[ -n "${before_each:-}" ]]; then $before_each; fi
        local t0 t1
        t0=$(date +%s.%N)
        # Some peers end with a non-zero status after a complete run; time notes it first.
        /usr/bin/time -o "$stats" -f "%U %S %M" "$@" > /dev/null 2>&1 || true
        t1=$(date +%s.%N)
        walls+=("$(awk -v a="$t0" -v b="$t1" 'BEGIN {printf "%.4f", b - a}')")
        cpus+=("$(tail -1 "$stats" | awk '{print $1 + $2}')")
        rss+=("$(tail -1 "$stats" | awk '{print $3}')")
    done
    printf '%s %s %s\n' "$(median "${walls[@]}")" "$(median "${cpus[@]}")" "$(median "${rss[@]}")"
}
rate() { awk -v n="$1" -v t="$2" 'BEGIN {printf "%.1f", (t > 0 ? n / t : 0)}'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.1f", (b > 0 ? a / b : 0)}'; }
bytes() { stat -c %s "$1"; }
mb() { awk -v b="$1" 'BEGIN {printf "%.2f", b / 1e6}'; }
