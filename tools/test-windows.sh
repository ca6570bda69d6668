#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# Builds kestrel.dll for 32-bit Windows, checks its export table, runs the ABI test host
# under Wine (one process start) and natively, and compares the two hosts' output files.
#
#   tools/test-windows.sh setup   as root, on a fresh Debian 12 machine: installs the cross
#                                 compiler, Wine and the i386 emulator, and registers the
#                                 emulator where the kernel cannot run 32-bit x86 programs
#   tools/test-windows.sh [run]   builds and tests; installs nothing
#
# Folders (relative to the source tree, overridable): KESTREL_BUILD_DIR (native build,
# default build), KESTREL_WIN_BUILD_DIR (cross build and its logs, default build-win).
#
# The Wine prefix is kept in KESTREL_WINE_CACHE (default /var/cache/kestrel/wine), one per
# Wine version, and reused by later runs; where that folder cannot be written, in the build
# folder. Limits in seconds: KESTREL_WINE_TIMEOUT_S (making the prefix, the host run, waiting
# for another run's lock), KESTREL_WINE_START_TIMEOUT_S (a trivial program in a new session).
# KESTREL_WINE_NATIVE=0 leaves 32-bit programs to a registered emulator even where the
# kernel could run them itself.
set -u -o pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
NATIVE_BUILD=${KESTREL_BUILD_DIR:-$ROOT/build}
WIN_BUILD=${KESTREL_WIN_BUILD_DIR:-$ROOT/build-win}
case $NATIVE_BUILD in /*) ;; *) NATIVE_BUILD=$ROOT/$NATIVE_BUILD ;; esac
case $WIN_BUILD in /*) ;; *) WIN_BUILD=$ROOT/$WIN_BUILD ;; esac
MINGW=i686-w64-mingw32
WINE_TIMEOUT_S=${KESTREL_WINE_TIMEOUT_S:-1800}
WINE_START_TIMEOUT_S=${KESTREL_WINE_START_TIMEOUT_S:-}
WINE_CACHE=${KESTREL_WINE_CACHE:-/var/cache/kestrel/wine}
WINE_NATIVE=${KESTREL_WINE_NATIVE:-1}
# Written into a prefix last, when it is complete: the key of the Wine that made it.
PREFIX_MARK=.kestrel-prefix
QEMU_I386=/usr/bin/qemu-i386-static
BINFMT_DIR=/proc/sys/fs/binfmt_misc
# 32-bit little-endian x86 ELF executables and shared objects go to the user-mode emulator.
BINFMT_I386=':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:'"$QEMU_I386"':F'

# The exports every build of the plug-in carries: decorated stdcall name and ordinal.
EXPECTED_EXPORTS="1 _SetFactoryDefaults@8
2 _AutoDetect@4
3 _Abort@0
4 _GetErrString@4
5 _ConvertFile@12
6 _GetThreadBufRecCount@8
7 _GetThreadBufRecSize@8
8 _ReadThreadBufData@16
9 _GetThreadBufSize@0
10 _SetThreadBufSize@4"

# DLLs that every 32-bit Windows installation has; anything else would have to ship along.
SYSTEM_DLLS="kernel32.dll msvcrt.dll user32.dll advapi32.dll ntdll.dll"

# ---------------------------------------------------------------------------------------
# Installation: only here, only when asked for with `setup`.

install_packages() {
    "$ROOT/tools/install-deps.sh" --windows
}

register_emulator() {
    if [ ! -e "$BINFMT_DIR/register" ]; then
        mount -t binfmt_misc binfmt_misc "$BINFMT_DIR" || return 1
    fi
    if [ ! -e "$BINFMT_DIR/qemu-i386" ]; then
        printf '%s' "$BINFMT_I386" > "$BINFMT_DIR/register" || return 1
    fi
    echo 1 > "$BINFMT_DIR/status" 2>/dev/null || true
}

setup() {
    install_packages || return 1
    choose_i386_runner
    if [ "$I386_MODE" = native ] && can_run_i386; then
        echo "test-windows: this kernel runs 32-bit x86 programs itself; no emulator registered"
        return 0
    fi
    register_emulator
}

# ---------------------------------------------------------------------------------------
# Checks.

PASSED=0
FAILED=0
HOSTS_COUNTED=0
pass() { PASSED=$((PASSED + 1)); echo "PASS $*"; }
fail() { FAILED=$((FAILED + 1)); echo "FAIL $*"; }
die() { echo "test-windows: $*" >&2; echo "test-windows: $PASSED passed, $((FAILED + 1)) failed"; exit 1; }

# A Unix path as Wine's drive Z: sees it.
windows_path() { local p=$1; echo "Z:${p//\//\\}"; }

# ---------------------------------------------------------------------------------------
# Starting Wine.

# How Wine's 32-bit x86 programs are started. A kernel built with IA32 emulation runs them
# itself, at full speed; a registered binfmt_misc emulator takes every such program even
# there, so for root each Wine command then runs in a user and mount namespace of its own
# whose binfmt_misc is empty (kernels from 6.7 on), where the kernel's own loader takes it.
# Elsewhere they run as this machine runs them: through the emulator, minutes per start.
I386_RUN=()
I386_MODE=native
NATIVE_I386_NS=(unshare --user --map-root-user --mount --
    sh -c 'mount -t binfmt_misc binfmt_misc "$0" && exec "$@"' "$BINFMT_DIR")

emulator_registered() {
    [ -e "$BINFMT_DIR/qemu-i386" ] && grep -qx enabled "$BINFMT_DIR/qemu-i386" 2>/dev/null &&
        grep -qx enabled "$BINFMT_DIR/status" 2>/dev/null
}

choose_i386_runner() {
    I386_RUN=()
    I386_MODE=native
    emulator_registered || return 0
    I386_MODE=emulated
    [ "$WINE_NATIVE" != 0 ] && [ "$(id -u)" = 0 ] || return 0
    if "${NATIVE_I386_NS[@]}" /usr/lib/wine/wine --version >/dev/null 2>&1; then
        I386_RUN=("${NATIVE_I386_NS[@]}")
        I386_MODE=native
    fi
}

# Runs a command of Wine (wine, wineserver) as chosen above, with a limit in seconds. The
# lock's descriptor stays here: the session's programs outlive the command.
wine_do() {
    local limit=$1
    shift
    "${I386_RUN[@]}" timeout "$limit" "$@" 9>&-
}

# True when this machine can start 32-bit x86 Linux programs (Wine's loader is one).
can_run_i386() {
    [ -x /usr/lib/wine/wine ] || return 1
    wine_do 120 /usr/lib/wine/wine --version >/dev/null 2>&1
}

require_tools() {
    local missing=""
    for tool in "$MINGW-g++-posix" "$MINGW-objdump" wine wineserver cmake flock; do
        command -v "$tool" >/dev/null 2>&1 || missing="$missing $tool"
    done
    [ -z "$missing" ] || die "missing tools:$missing (run: sudo $0 setup)"
    choose_i386_runner
    if ! can_run_i386; then
        if [ ! -e "$BINFMT_DIR/register" ]; then
            die "this machine cannot run 32-bit x86 programs: binfmt_misc is not mounted at $BINFMT_DIR, so the i386 emulator cannot be registered (run: sudo $0 setup; in a container binfmt_misc may be unavailable). Nothing was tested."
        fi
        if [ ! -e "$BINFMT_DIR/qemu-i386" ]; then
            die "this machine cannot run 32-bit x86 programs: no qemu-i386 entry in $BINFMT_DIR (run: sudo $0 setup). Nothing was tested."
        fi
        die "this machine cannot run 32-bit x86 programs although qemu-i386 is registered; check $QEMU_I386 and that the i386 C library is installed. Nothing was tested."
    fi
    if [ -z "$WINE_START_TIMEOUT_S" ]; then
        # A new session starts Wine's services first: seconds natively, many minutes emulated.
        if [ "$I386_MODE" = native ]; then WINE_START_TIMEOUT_S=300; else WINE_START_TIMEOUT_S=$WINE_TIMEOUT_S; fi
    fi
    if [ "$I386_MODE" = native ]; then
        echo "test-windows: 32-bit x86 programs run natively${I386_RUN:+ (past the registered emulator)}"
    else
        echo "test-windows: 32-bit x86 programs run under the emulator $QEMU_I386 (slow)"
    fi
}

# The processes of one prefix's Wine session, its server included (Wine hands WINEPREFIX
# down to all of them); with a pattern, those whose command line matches it.
wine_pids() {
    local dir=$1 pattern=${2:-.} environ proc exe
    for environ in $(grep -lsxzF "WINEPREFIX=$dir" /proc/[0-9]*/environ); do
        proc=${environ%/environ}
        exe=$(readlink "$proc/exe" 2>/dev/null) || continue
        case $exe in */wine/*|*qemu-i386*) ;; *) continue ;; esac
        tr '\0' ' ' <"$proc/cmdline" 2>/dev/null | grep -qE -- "$pattern" || continue
        echo "${proc#/proc/}"
    done
}

# Ends a prefix's session, whatever it is doing, and waits until its processes are gone
# (the server writes the registry files as it ends).
end_wine_session() {
    local dir=$1 deadline=$((SECONDS + 60)) pids
    [ ! -d "$dir" ] || WINEPREFIX=$dir wine_do 60 wineserver -k >/dev/null 2>&1 || true
    while pids=$(wine_pids "$dir") && [ -n "$pids" ]; do
        if [ $SECONDS -ge $deadline ]; then
            # shellcheck disable=SC2086
            kill -KILL $pids 2>/dev/null || true
            sleep 1
            [ -z "$(wine_pids "$dir")" ]
            return
        fi
        sleep 1
    done
}

# ---------------------------------------------------------------------------------------
# The Wine prefix.

# The cache entry's name: Wine's version and the prefix's architecture.
wine_prefix_key() {
    local version
    version=$(wine_do 120 wine --version 2>/dev/null) && [ -n "$version" ] || return 1
    printf '%s-win32\n' "$(printf '%s' "$version" | tr -cs 'A-Za-z0-9.+' '-' | sed 's/-*$//')"
}

# Succeeds for a complete prefix made by this Wine; otherwise prints what is wrong.
check_prefix() {
    local dir=$1 key=$2 mark
    mark=$(cat "$dir/$PREFIX_MARK" 2>/dev/null) || { echo "no completion mark"; return 1; }
    [ "$mark" = "$key" ] || { echo "made by $mark"; return 1; }
    check_prefix_files "$dir"
}

check_prefix_files() {
    local dir=$1 f
    for f in system.reg user.reg userdef.reg; do
        head -n 1 "$dir/$f" 2>/dev/null | grep -q '^WINE REGISTRY Version' ||
            { echo "$f is missing or not a registry file"; return 1; }
    done
    grep -q '^#arch=win32' "$dir/system.reg" || { echo "system.reg is not a 32-bit prefix's"; return 1; }
    # The user profile is the set-up's last entry in the system registry.
    grep -q '"ProfileImagePath"=' "$dir/system.reg" ||
        { echo "system.reg lacks the user profile written at the end of the set-up"; return 1; }
    for f in drive_c/windows/system32/kernel32.dll drive_c/windows/system32/cmd.exe dosdevices/c:; do
        [ -e "$dir/$f" ] || { echo "$f is missing"; return 1; }
    done
}

# Makes a prefix in DIR and ends its session; on failure PREFIX_PROBLEM says why.
PREFIX_PROBLEM=""
make_prefix() {
    local dir=$1 key=$2 log=$3 deadline=$((SECONDS + WINE_TIMEOUT_S)) status=0 problem
    rm -rf "$dir"
    # The first program makes the prefix and starts the set-up (wineboot) in the new
    # session, but waits for it a few minutes at most: its own status says little.
    WINEPREFIX=$dir wine_do "$WINE_TIMEOUT_S" wine wineboot --init >>"$log" 2>&1 || status=$?
    echo "test-windows: wineboot --init ended with status $status" >>"$log"
    # The set-up is over when its programs (wineboot, rundll32 running the set-up
    # scripts) have ended. The services it started stay, idle, until the session is ended.
    while [ -n "$(wine_pids "$dir" 'wineboot\.exe|rundll32\.exe')" ]; do
        if [ $SECONDS -ge $deadline ]; then
            PREFIX_PROBLEM="its set-up had not ended after $WINE_TIMEOUT_S s"
            end_wine_session "$dir"
            return 1
        fi
        sleep 2
    done
    status=0
    WINEPREFIX=$dir wine_do $((deadline > SECONDS ? deadline - SECONDS : 1)) wine cmd /c exit >>"$log" 2>&1 || status=$?
    if ! end_wine_session "$dir"; then
        PREFIX_PROBLEM="its programs were still running after wineserver -k"
        return 1
    fi
    if [ $status -ne 0 ]; then
        PREFIX_PROBLEM="a trivial program (cmd /c exit) ended with status $status"
        return 1
    fi
    if ! problem=$(check_prefix_files "$dir"); then
        PREFIX_PROBLEM=$problem
        return 1
    fi
    printf '%s\n' "$key" >"$dir/$PREFIX_MARK"
}

# Makes the prefix ENTRY: in a folder beside it, moved into place only when complete.
# The caller holds the entry's lock.
build_prefix() {
    local entry=$1 key=$2 log="$WIN_BUILD/wine-prefix.log" tmp start=$SECONDS
    end_wine_session "$entry" || true
    rm -rf "$entry"
    tmp="$entry.tmp.$$"
    echo "making the Wine prefix $entry"
    echo "test-windows: making $tmp for $entry" >>"$log"
    if ! make_prefix "$tmp" "$key" "$log"; then
        rm -rf "$tmp"
        die "the Wine prefix could not be made: $PREFIX_PROBLEM; see $log"
    fi
    mv -T "$tmp" "$entry" || die "could not move the new Wine prefix to $entry"
    echo "Wine prefix made in $((SECONDS - start)) s"
}

# Usable for the cache: a folder outside the source tree that this user can write to.
cache_usable() {
    local dir=$1 real root probe
    real=$(realpath -m "$dir") && root=$(realpath -m "$ROOT") || return 1
    case "$real/" in "$root/"*) echo "it is inside the source tree"; return 1 ;; esac
    mkdir -p "$dir" 2>/dev/null || { echo "it cannot be made"; return 1; }
    probe=$(mktemp -d "$dir/.probe.XXXXXX" 2>/dev/null) || { echo "it cannot be written"; return 1; }
    rmdir "$probe"
}

# Takes the prefix's lock on descriptor 9 (held until this script ends): two runs never
# make or use one prefix at the same time.
lock_prefix() {
    local entry=$1
    exec 9>"$entry.lock" || return 1
    flock -w "$WINE_TIMEOUT_S" 9 || { exec 9>&-; return 1; }
}

# Starts a session in the prefix that stays until close_wine_session (the server kept even
# when no program runs), with a trivial program that must start and end in time.
SESSION_PREFIX=""
start_wine_session() {
    local dir=$1 log="$WIN_BUILD/wine-prefix.log" status=0
    export WINEPREFIX=$dir
    SESSION_PREFIX=$dir
    echo "test-windows: starting a session in $dir" >>"$log"
    wine_do 120 wineserver -p >>"$log" 2>&1 || true
    wine_do "$WINE_START_TIMEOUT_S" wine cmd /c exit >>"$log" 2>&1 || status=$?
    echo "test-windows: cmd /c exit ended with status $status" >>"$log"
    return $status
}

close_wine_session() {
    [ -n "$SESSION_PREFIX" ] || return 0
    end_wine_session "$SESSION_PREFIX" || echo "test-windows: Wine programs of $SESSION_PREFIX outlived wineserver -k" >&2
    SESSION_PREFIX=""
}

# Chooses the prefix (the cached one of this Wine, or one in the build folder), makes it
# when missing, incomplete or damaged, and starts a session in it.
open_wine_prefix() {
    local key home name why entry old made=0
    key=$(wine_prefix_key) || die "could not read Wine's version"
    home=$WINE_CACHE
    name=$key
    if ! why=$(cache_usable "$home"); then
        echo "test-windows: not using the prefix cache $home ($why): the prefix is kept in $WIN_BUILD"
        home=$WIN_BUILD
        name=wine-prefix
    fi
    if ! lock_prefix "$home/$name"; then
        [ "$home" != "$WIN_BUILD" ] || die "could not lock $home/$name within $WINE_TIMEOUT_S s"
        echo "test-windows: the cached prefix $home/$name stayed locked by another run for $WINE_TIMEOUT_S s: the prefix is kept in $WIN_BUILD"
        home=$WIN_BUILD
        name=wine-prefix
        lock_prefix "$home/$name" || die "could not lock $home/$name within $WINE_TIMEOUT_S s"
    fi
    entry=$home/$name
    : >"$WIN_BUILD/wine-prefix.log"
    # Half-made prefixes of interrupted runs (the lock says none is being made now).
    for old in "$entry".tmp.*; do
        [ -e "$old" ] || continue
        end_wine_session "$old" || true
        rm -rf "$old"
    done
    if [ -e "$entry" ] && why=$(check_prefix "$entry" "$key"); then
        echo "reusing the Wine prefix $entry"
    else
        [ ! -e "$entry" ] || echo "the Wine prefix $entry is incomplete or damaged ($why): making it afresh"
        build_prefix "$entry" "$key"
        made=1
    fi
    local status=0
    start_wine_session "$entry" || status=$?
    if [ $status -ne 0 ]; then
        close_wine_session
        # Slowness is not damage: a busy machine under the emulator may take longer.
        [ $status -ne 124 ] ||
            die "a trivial program did not end within $WINE_START_TIMEOUT_S s in the Wine prefix $entry (KESTREL_WINE_START_TIMEOUT_S; if it never does, remove the prefix); see $WIN_BUILD/wine-prefix.log"
        [ $made -eq 0 ] ||
            die "the new Wine prefix $entry does not start a trivial program; see $WIN_BUILD/wine-prefix.log"
        echo "the Wine prefix $entry does not start a trivial program: making it afresh"
        build_prefix "$entry" "$key"
        start_wine_session "$entry" ||
            die "the new Wine prefix $entry does not start a trivial program; see $WIN_BUILD/wine-prefix.log"
    fi
}

build_native() {
    cmake -S "$ROOT" -B "$NATIVE_BUILD" >"$WIN_BUILD/native-configure.log" 2>&1 ||
        die "native configure failed, see $WIN_BUILD/native-configure.log"
    cmake --build "$NATIVE_BUILD" -j2 --target kestrel kestrel_abi_test >"$WIN_BUILD/native-build.log" 2>&1 ||
        die "native build failed, see $WIN_BUILD/native-build.log"
}

build_windows() {
    cmake -S "$ROOT" -B "$WIN_BUILD" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-i686.cmake" \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTREL_BUILD_TOOLS=OFF -DKESTREL_BUILD_BENCH=OFF \
        >"$WIN_BUILD/configure.log" 2>&1 ||
        die "cross configure failed, see $WIN_BUILD/configure.log"
    cmake --build "$WIN_BUILD" -j2 --target kestrel kestrel_abi_test >"$WIN_BUILD/build.log" 2>&1 ||
        die "cross build failed, see $WIN_BUILD/build.log"
}

# Exactly the ten exports, each under its ordinal, and nothing else.
check_export_table() {
    local dll=$1 dump found
    dump=$("$MINGW-objdump" -p "$dll") || { fail "export table: objdump could not read $dll"; return; }
    if grep -q 'file format pei-i386' <<<"$("$MINGW-objdump" -f "$dll")"; then
        pass "kestrel.dll is a 32-bit x86 PE image"
    else
        fail "kestrel.dll is not a 32-bit x86 PE image"
    fi
    # objdump lists names with their index from the ordinal base.
    found=$(awk '
        /^Ordinal Base/ { base = $3 }
        /^\[Ordinal\/Name Pointer\] Table/ { names = 1; next }
        names && /^[ \t]*$/ { names = 0 }
        names { gsub(/[\[\]]/, " "); print $1 + base, $2 }
        /^Export Address Table -- Ordinal Base/ { addresses = 1; next }
        addresses && /^[ \t]*$/ { addresses = 0 }
        addresses { slots++ }
        END { print "slots", slots + 0 }' <<<"$dump" | sort -n)
    local expected
    expected=$(printf '%s\nslots 10\n' "$EXPECTED_EXPORTS" | sort -n)
    if [ "$found" = "$expected" ]; then
        pass "export table holds exactly the ten decorated names with ordinals 1 to 10"
    else
        fail "export table differs from the ten expected exports"
        diff <(echo "$expected") <(echo "$found") | sed 's/^/    /' || true
    fi
}

# The image needs nothing beyond the system's own DLLs.
check_imports() {
    local image=$1 name=$2 dll bad=""
    for dll in $("$MINGW-objdump" -p "$image" | awk '/DLL Name:/ { print tolower($3) }'); do
        grep -qw -- "$dll" <<<"$SYSTEM_DLLS" || bad="$bad $dll"
    done
    if [ -z "$bad" ]; then
        pass "$name imports only system DLLs"
    else
        fail "$name needs non-system DLLs:$bad"
    fi
}

# Adds the counts of a host run's closing line to ours.
count_host_run() {
    local label=$1 log=$2 status=$3 closing
    closing=$(grep -E '^[0-9]+ passed, [0-9]+ failed' "$log" | tail -n 1) || true
    if [ -z "$closing" ]; then
        fail "$label ended (status $status) without its closing line, see $log"
        return
    fi
    local p f
    p=${closing%% passed*}
    f=${closing#*passed, }
    f=${f%% failed*}
    PASSED=$((PASSED + p))
    FAILED=$((FAILED + f))
    HOSTS_COUNTED=$((HOSTS_COUNTED + 1))
    if [ "$status" -ne 0 ] && [ "$f" -eq 0 ]; then
        fail "$label exited with status $status"
    fi
    echo "$label: $closing (status $status)"
}

run() {
    local start=$SECONDS
    mkdir -p "$WIN_BUILD"
    require_tools

    echo "== building (native and 32-bit Windows)"
    build_native
    build_windows
    local dll="$WIN_BUILD/kestrel.dll"
    local exe="$WIN_BUILD/tests/windows/kestrel-abi-test.exe"
    local native_host="$NATIVE_BUILD/tests/windows/kestrel-abi-test"
    local native_lib
    native_lib=$(ls "$NATIVE_BUILD"/libkestrel.so 2>/dev/null) || die "native library not found in $NATIVE_BUILD"

    echo "== export table and imports"
    check_export_table "$dll"
    check_imports "$dll" kestrel.dll
    check_imports "$exe" kestrel-abi-test.exe

    local logs=() log
    # Every NavCom capture shipped in data/navcom (not its README nor decoded listings).
    while IFS= read -r log; do logs+=("$log"); done < <(find "$ROOT/data/navcom" -type f \
        ! -name '*.md' ! -name '*.chk' | sort)
    [ ${#logs[@]} -gt 0 ] || die "no sample logs in $ROOT/data/navcom"

    echo "== ABI host, native"
    local native_out="$WIN_BUILD/abi-native" win_out="$WIN_BUILD/abi-windows"
    rm -rf "$native_out" "$win_out"
    mkdir -p "$native_out" "$win_out"
    local status=0
    "$native_host" "$native_lib" "$native_out" "${logs[@]}" >"$WIN_BUILD/abi-native.log" 2>&1 || status=$?
    count_host_run "native host" "$WIN_BUILD/abi-native.log" $status

    echo "== ABI host, under Wine (all checks in one process start)"
    local win_logs=()
    for log in "${logs[@]}"; do win_logs+=("$(windows_path "$log")"); done
    export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d" WINEARCH=win32
    unset DISPLAY WAYLAND_DISPLAY
    local wine_start=$SECONDS
    open_wine_prefix
    echo "Wine prefix ready and its session started in $((SECONDS - wine_start)) s"
    wine_start=$SECONDS
    status=0
    wine_do "$WINE_TIMEOUT_S" wine "$exe" "$(windows_path "$dll")" "$(windows_path "$win_out")" \
        "${win_logs[@]}" >"$WIN_BUILD/abi-windows.log" 2>&1 || status=$?
    # The session's own programs end with the server; none is left running.
    close_wine_session
    echo "Wine run of the ABI host took $((SECONDS - wine_start)) s"
    if [ $status -eq 124 ]; then
        fail "Wine run did not finish within $WINE_TIMEOUT_S s"
    fi
    count_host_run "Windows host" "$WIN_BUILD/abi-windows.log" $status
    grep -E '^FAIL' "$WIN_BUILD/abi-windows.log" | sed 's/^/    Windows /' || true
    grep -E '^FAIL' "$WIN_BUILD/abi-native.log" | sed 's/^/    native /' || true

    echo "== Windows against native outputs"
    status=0
    "$native_host" --compare "$win_out" "$native_out" >"$WIN_BUILD/abi-compare.log" 2>&1 || status=$?
    grep -Ev '^PASS' "$WIN_BUILD/abi-compare.log" | grep -Ev '^[0-9]+ passed' || true
    count_host_run "comparison" "$WIN_BUILD/abi-compare.log" $status

    echo "test-windows: finished in $((SECONDS - start)) s; host logs in $WIN_BUILD/abi-*.log"
    # Both host runs and the comparison must have been counted: a stage that did not run
    # is never taken for a pass.
    [ "$HOSTS_COUNTED" -eq 3 ] || fail "only $HOSTS_COUNTED of the 3 host runs were counted"
    echo "test-windows: $PASSED passed, $FAILED failed"
    [ "$FAILED" -eq 0 ] && exit 0
    exit 1
}

# When sourced (by the test of the prefix cache), only the functions are defined.
[ "${BASH_SOURCE[0]}" = "$0" ] || return 0

trap close_wine_session EXIT

case ${1:-run} in
    setup) setup ;;
    register-emulator) register_emulator ;;
    run) run ;;
    *) echo "usage: $0 [run|setup|register-emulator]" >&2; exit 2 ;;
esac
