#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# The Wine prefix cache of tools/test-windows.sh, with stand-ins for wine and wineserver (no
# Wine needed): a prefix is made when missing and reused when complete; one that is partial,
# damaged, made by another Wine or unable to start a program is made afresh; a failed set-up
# leaves nothing under the entry's name; the build folder takes over when the cache cannot
# be used.
set -u -o pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
WORK=$(mktemp -d)
HOLDER=""
cleanup() {
    [ -z "$HOLDER" ] || kill "$HOLDER" 2>/dev/null
    rm -rf "$WORK"
}
trap cleanup EXIT

mkdir -p "$WORK/bin"
export FAKE_CALLS=$WORK/calls
# wine: its version; wineboot writes a prefix (cut short with FAKE_SETUP=cut-short); cmd
# fails in a prefix holding the file cannot-start, and takes 10 s in one holding slow-start.
cat >"$WORK/bin/wine" <<'EOF'
#!/bin/sh
echo "wine $*" >>"$FAKE_CALLS"
case $1 in
    --version) echo "${FAKE_WINE_VERSION:-wine-9.0 (Fake 9.0-1)}" ;;
    wineboot)
        mkdir -p "$WINEPREFIX/drive_c/windows/system32" "$WINEPREFIX/dosdevices" || exit 1
        ln -sfn ../drive_c "$WINEPREFIX/dosdevices/c:"
        for reg in system user userdef; do
            printf 'WINE REGISTRY Version 2\n#arch=win32\n' >"$WINEPREFIX/$reg.reg"
        done
        echo MZ >"$WINEPREFIX/drive_c/windows/system32/kernel32.dll"
        echo MZ >"$WINEPREFIX/drive_c/windows/system32/cmd.exe"
        [ "${FAKE_SETUP:-}" = cut-short ] ||
            echo '"ProfileImagePath"="C:\\users\\root"' >>"$WINEPREFIX/system.reg"
        [ "${FAKE_SETUP:-}" != no-start ] || : >"$WINEPREFIX/cannot-start"
        ;;
    cmd)
        [ ! -e "$WINEPREFIX/slow-start" ] || sleep 10
        [ ! -e "$WINEPREFIX/cannot-start" ] ;;
    *) exit 1 ;;
esac
EOF
printf '#!/bin/sh\necho "wineserver $*" >>"$FAKE_CALLS"\n' >"$WORK/bin/wineserver"
chmod +x "$WORK/bin/wine" "$WORK/bin/wineserver"
export PATH="$WORK/bin:$PATH"

export KESTREL_WIN_BUILD_DIR=$WORK/build KESTREL_WINE_CACHE=$WORK/cache
export KESTREL_WINE_TIMEOUT_S=2 KESTREL_WINE_START_TIMEOUT_S=2
# shellcheck source=../../tools/test-windows.sh
source "$ROOT/tools/test-windows.sh"
mkdir -p "$WIN_BUILD"

CACHE=$WORK/cache
KEY=wine-9.0-Fake-9.0-1-win32
ENTRY=$CACHE/$KEY
BUILT=$WIN_BUILD/wine-prefix

# State each case starts from (the cases run in order, each on what the last one left).
as_left() { :; }
unmarked() { rm "$ENTRY/$PREFIX_MARK"; }
other_wine() { echo wine-8.0-win32 >"$ENTRY/$PREFIX_MARK"; }
no_system_reg() { rm "$ENTRY/system.reg"; }
reg_cut_short() { sed -i '/ProfileImagePath/d' "$ENTRY/system.reg"; }
no_kernel32() { rm "$ENTRY/drive_c/windows/system32/kernel32.dll"; }
cannot_start() { : >"$ENTRY/cannot-start"; }
slow_start() { : >"$ENTRY/slow-start"; }
fast_start() { rm "$ENTRY/slow-start"; }
half_made() { mkdir -p "$ENTRY.tmp.99999/drive_c"; }
new_wine() { export FAKE_WINE_VERSION="wine-9.1 (Fake 9.1-1)"; }
old_wine() { unset FAKE_WINE_VERSION; }
cache_unwritable() { : >"$WORK/file"; WINE_CACHE=$WORK/file/cache; }
cache_in_tree() { WINE_CACHE=$ROOT/build-win/wine-cache; }
setup_cut_short() { rm -rf "$ENTRY"; export FAKE_SETUP=cut-short; }
setup_no_start() { export FAKE_SETUP=no-start; }
setup_sound() { unset FAKE_SETUP; }
locked_elsewhere() {
    ( exec 8>"$ENTRY.lock" && flock 8 && exec sleep 30 ) &
    HOLDER=$!
    while flock -n "$ENTRY.lock" true; do sleep 0.1; done
}
unlocked() { kill "$HOLDER"; wait "$HOLDER" 2>/dev/null; HOLDER=""; }

# case | state | exit status | wineboot runs | prefix in use (- none) | what it says
CASES="
made when missing         | as_left          | 0 | 1 | $ENTRY | making the Wine prefix $ENTRY
reused when complete      | as_left          | 0 | 0 | $ENTRY | reusing the Wine prefix $ENTRY
mark missing              | unmarked         | 0 | 1 | $ENTRY | incomplete or damaged \(no completion mark\)
made by another Wine      | other_wine       | 0 | 1 | $ENTRY | \(made by wine-8.0-win32\)
system registry lost      | no_system_reg    | 0 | 1 | $ENTRY | \(system.reg is missing or not a registry file\)
system registry cut short | reg_cut_short    | 0 | 1 | $ENTRY | lacks the user profile
system DLL lost           | no_kernel32      | 0 | 1 | $ENTRY | kernel32.dll is missing
starts no program         | cannot_start     | 0 | 1 | $ENTRY | does not start a trivial program: making it afresh
slow to start, kept       | slow_start       | 1 | 0 | -      | did not end within 2 s in the Wine prefix $ENTRY
kept one reused           | fast_start       | 0 | 0 | $ENTRY | reusing the Wine prefix $ENTRY
half-made one removed     | half_made        | 0 | 0 | $ENTRY | reusing the Wine prefix
new Wine, new entry       | new_wine         | 0 | 1 | $CACHE/wine-9.1-Fake-9.1-1-win32 | making the Wine prefix
old Wine's entry kept     | old_wine         | 0 | 0 | $ENTRY | reusing the Wine prefix
cache not writable        | cache_unwritable | 0 | 1 | $BUILT | not using the prefix cache .*cannot be made
build folder's reused     | cache_unwritable | 0 | 0 | $BUILT | reusing the Wine prefix $BUILT
cache inside the tree     | cache_in_tree    | 0 | 0 | $BUILT | inside the source tree
cache locked too long     | locked_elsewhere | 0 | 0 | $BUILT | stayed locked by another run
lock released             | unlocked         | 0 | 0 | $ENTRY | reusing the Wine prefix $ENTRY
set-up cut short          | setup_cut_short  | 1 | 1 | -      | could not be made: system.reg lacks the user profile.*; see $WIN_BUILD/wine-prefix.log
set-up starts no program  | setup_no_start   | 1 | 1 | -      | could not be made: a trivial program \(cmd /c exit\) ended with status 1
sound set-up again        | setup_sound      | 0 | 1 | $ENTRY | making the Wine prefix
"

passed=0
failed=0
check() {
    local name=$1 problem=$2
    if [ -z "$problem" ]; then
        passed=$((passed + 1)); echo "PASS $name"
    else
        failed=$((failed + 1)); echo "FAIL $name:$problem"; sed 's/^/    /' "$WORK/out"
    fi
}

while IFS='|' read -r name state want_status want_boots want_prefix want_says; do
    name=$(echo $name)
    [ -n "$name" ] || continue
    state=$(echo $state) want_status=$(echo $want_status) want_boots=$(echo $want_boots)
    want_prefix=$(echo $want_prefix) want_says=$(echo $want_says)
    WINE_CACHE=$CACHE
    "$state"
    : >"$FAKE_CALLS"
    status=0
    ( open_wine_prefix && echo "in use: $WINEPREFIX" && close_wine_session ) >"$WORK/out" 2>&1 || status=$?
    problem=""
    [ "$status" = "$want_status" ] || problem+=" exit status $status, not $want_status;"
    boots=$(grep -c '^wine wineboot' "$FAKE_CALLS")
    [ "$boots" = "$want_boots" ] || problem+=" wineboot ran $boots times, not $want_boots;"
    grep -qE -- "$want_says" "$WORK/out" || problem+=" no line matching '$want_says';"
    if [ "$want_prefix" != - ]; then
        grep -qxF "in use: $want_prefix" "$WORK/out" || problem+=" prefix in use is not $want_prefix;"
        want_mark=${want_prefix##*/}
        [ "$want_prefix" != "$BUILT" ] || want_mark=$KEY
        mark=$(cat "$want_prefix/$PREFIX_MARK" 2>/dev/null)
        [ "$mark" = "$want_mark" ] || problem+=" mark '$mark', not $want_mark;"
    elif [ "$state" != slow_start ]; then
        [ ! -e "$ENTRY" ] || problem+=" a prefix was left under $ENTRY;"
    fi
    # Every case, failed ones included: no half-made prefix left, no session left open.
    left=$(ls -d "$CACHE"/*.tmp.* "$WIN_BUILD"/*.tmp.* 2>/dev/null)
    [ -z "$left" ] || problem+=" left behind: $left;"
    if [ "$status" = 0 ] && ! tail -n 1 "$FAKE_CALLS" | grep -q '^wineserver -k'; then
        problem+=" the session was not ended;"
    fi
    check "$name" "$problem"
done <<<"$CASES"

[ ! -e "$ROOT/build-win/wine-cache" ] || { failed=$((failed + 1)); echo "FAIL a cache folder was made inside the source tree"; }
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
