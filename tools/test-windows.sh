#!/usr/bin/env bash
# Builds kestrel.dll for 32-bit Windows, checks its export table, runs the ABI test host
# under Wine (one process start) and natively, and compares the two hosts' output files.
#
#   tools/test-windows.sh setup   as root, on a fresh Debian 12 machine: installs the cross
#                                 compiler, Wine and the i386 emulator and registers it
#   tools/test-windows.sh [run]   builds and tests; installs nothing
#
# Folders (relative to the source tree, overridable): KESTREL_BUILD_DIR (native build,
# default build), KESTREL_WIN_BUILD_DIR (cross build with its Wine prefix, default build-win).
set -u -o pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
NATIVE_BUILD=${KESTREL_BUILD_DIR:-$ROOT/build}
WIN_BUILD=${KESTREL_WIN_BUILD_DIR:-$ROOT/build-win}
case $NATIVE_BUILD in /*) ;; *) NATIVE_BUILD=$ROOT/$NATIVE_BUILD ;; esac
case $WIN_BUILD in /*) ;; *) WIN_BUILD=$ROOT/$WIN_BUILD ;; esac
MINGW=i686-w64-mingw32
WINE_TIMEOUT_S=${KESTREL_WINE_TIMEOUT_S:-1800}
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
    dpkg --add-architecture i386 &&
        apt-get update &&
        DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends \
            wine wine32:i386 g++-mingw-w64-i686 binutils-mingw-w64-i686 qemu-user-static
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
    install_packages && register_emulator
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

# True when this machine can start 32-bit x86 Linux programs (Wine's loader is one).
can_run_i386() {
    [ -x /usr/lib/wine/wine ] || return 1
    /usr/lib/wine/wine --version >/dev/null 2>&1
}

require_tools() {
    local missing=""
    for tool in "$MINGW-g++-posix" "$MINGW-objdump" wine wineserver cmake; do
        command -v "$tool" >/dev/null 2>&1 || missing="$missing $tool"
    done
    [ -z "$missing" ] || die "missing tools:$missing (run: sudo $0 setup)"
    if ! can_run_i386; then
        if [ ! -e "$BINFMT_DIR/register" ]; then
            die "this machine cannot run 32-bit x86 programs: binfmt_misc is not mounted at $BINFMT_DIR, so the i386 emulator cannot be registered (run: sudo $0 setup; in a container binfmt_misc may be unavailable). Nothing was tested."
        fi
        if [ ! -e "$BINFMT_DIR/qemu-i386" ]; then
            die "this machine cannot run 32-bit x86 programs: no qemu-i386 entry in $BINFMT_DIR (run: sudo $0 setup). Nothing was tested."
        fi
        die "this machine cannot run 32-bit x86 programs although qemu-i386 is registered; check $QEMU_I386 and that the i386 C library is installed. Nothing was tested."
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

# Makes the Wine prefix once and waits until every program of its set-up has ended: a
# program started while the set-up still runs may find no system DLLs.
prepare_wine_prefix() {
    local ready="$WINEPREFIX/kestrel-prefix-ready"
    [ -e "$ready" ] && return 0
    rm -rf "$WINEPREFIX"
    echo "making the Wine prefix $WINEPREFIX (minutes under emulation)"
    local start=$SECONDS
    # The first start's own status is not telling: it may give up waiting for the set-up
    # it began, which goes on until the server's session ends.
    timeout "$WINE_TIMEOUT_S" wine wineboot --init >"$WIN_BUILD/wine-prefix.log" 2>&1 || true
    timeout "$WINE_TIMEOUT_S" wineserver -w >>"$WIN_BUILD/wine-prefix.log" 2>&1 || true
    if [ ! -e "$WINEPREFIX/system.reg" ] || [ ! -e "$WINEPREFIX/drive_c/windows/system32/kernel32.dll" ]; then
        wineserver -k >/dev/null 2>&1 || true
        die "the Wine prefix could not be made, see $WIN_BUILD/wine-prefix.log"
    fi
    touch "$ready"
    echo "Wine prefix made in $((SECONDS - start)) s"
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
    export WINEPREFIX="$WIN_BUILD/wine-prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
    unset DISPLAY WAYLAND_DISPLAY
    prepare_wine_prefix
    local wine_start=$SECONDS
    status=0
    timeout "$WINE_TIMEOUT_S" wine "$exe" "$(windows_path "$dll")" "$(windows_path "$win_out")" \
        "${win_logs[@]}" >"$WIN_BUILD/abi-windows.log" 2>&1 || status=$?
    # The session's own programs end with the server; none is left running.
    wineserver -k >/dev/null 2>&1 || true
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

case ${1:-run} in
    setup) setup ;;
    register-emulator) register_emulator ;;
    run) run ;;
    *) echo "usage: $0 [run|setup|register-emulator]" >&2; exit 2 ;;
esac
