#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# Installation and packages as their users meet them:
#   - `cmake --install` into a temporary prefix puts exactly the listed files there;
#   - the README's C example (tools/install-example/convert.c) builds against that prefix,
#     found once through pkg-config and once through find_package(Kestrel), and converts the
#     station log to the same files as the installed `kestrel`;
#   - the Debian package: built by cpack, its dependencies computed, its files, lintian
#     without errors; installed with dpkg -i (`kestrel --version`, `man -w kestrel`, the
#     library for pkg-config), then removed with dpkg -r (these two steps as root only);
#   - the zip of the 32-bit Windows plug-in, when the MinGW-w64 cross compiler is installed.
#
#   tools/test-install.sh
#
# Folders (relative to the source tree, overridable): KESTREL_BUILD_DIR (native build, default
# build; built here when it is not yet), KESTREL_PKG_WIN_BUILD_DIR (cross build of the zip,
# default build-pkg-win).
set -u -o pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=${KESTREL_BUILD_DIR:-build}
WIN_BUILD=${KESTREL_PKG_WIN_BUILD_DIR:-build-pkg-win}
case $BUILD in /*) ;; *) BUILD=$ROOT/$BUILD ;; esac
case $WIN_BUILD in /*) ;; *) WIN_BUILD=$ROOT/$WIN_BUILD ;; esac
STATION_LOG=$ROOT/data/navcom/gsi-0759-2005-092.nav
MINGW=i686-w64-mingw32
OBX_HEADER_BYTES=202  # creation time and output path differ between two writers; epochs do not

WORK=$(mktemp -d)
PREFIX=$WORK/prefix
DEB_INSTALLED_HERE=0
cleanup() {
    if [ "$DEB_INSTALLED_HERE" -eq 1 ]; then dpkg -P kestrel >/dev/null 2>&1 || true; fi
    rm -rf "$WORK"
}
trap cleanup EXIT

PASSED=0
FAILED=0
pass() { PASSED=$((PASSED + 1)); echo "PASS $*"; }
fail() { FAILED=$((FAILED + 1)); echo "FAIL $*"; }
# check DESCRIPTION EXPECTED ACTUAL
check() {
    if [ "$2" = "$3" ]; then
        pass "$1"
    else
        fail "$1"
        diff <(echo "$2") <(echo "$3") | sed 's/^/    /'
    fi
}
finish() {
    echo "test-install: finished in $((SECONDS - START)) s"
    echo "test-install: $PASSED passed, $FAILED failed"
    [ "$FAILED" -eq 0 ] && exit 0
    exit 1
}
die() { fail "$*"; finish; }
START=$SECONDS

# ---------------------------------------------------------------------------------------
echo "== native build ($BUILD)"
mkdir -p "$BUILD"
cmake -S "$ROOT" -B "$BUILD" >"$WORK/configure.log" 2>&1 || { cat "$WORK/configure.log"; die "configure"; }
# cpack installs from a whole build; in CI this build exists already and nothing is rebuilt.
cmake --build "$BUILD" -j2 >"$WORK/build.log" 2>&1 || { tail -n 30 "$WORK/build.log"; die "build"; }
VERSION=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$BUILD/CMakeCache.txt")
MAJOR=${VERSION%%.*}
[ -n "$VERSION" ] || die "no project version in $BUILD/CMakeCache.txt"
echo "version $VERSION"

# ---------------------------------------------------------------------------------------
echo "== cmake --install into a temporary prefix"
cmake --install "$BUILD" --prefix "$PREFIX" >"$WORK/install.log" 2>&1 || { cat "$WORK/install.log"; die "install"; }
check "installed files are exactly the listed ones" "bin/kestrel
include/kestrel/kestrel.h
include/kestrel/records.h
lib/cmake/Kestrel/KestrelConfig.cmake
lib/cmake/Kestrel/KestrelConfigVersion.cmake
lib/cmake/Kestrel/KestrelTargets-CONFIG.cmake
lib/cmake/Kestrel/KestrelTargets.cmake
lib/libkestrel.so
lib/libkestrel.so.$MAJOR
lib/libkestrel.so.$VERSION
lib/pkgconfig/kestrel.pc
lib/systemd/system/kestrel-stream@.service
share/bash-completion/completions/kestrel
share/doc/kestrel/LICENSE
share/doc/kestrel/README.md
share/man/man1/kestrel.1" \
    "$(cd "$PREFIX" && find . \( -type f -o -type l \) | sed 's|^\./||; s|KestrelTargets-[a-z]*\.cmake|KestrelTargets-CONFIG.cmake|' | LC_ALL=C sort)"

KESTREL=$PREFIX/bin/kestrel
version_line=$("$KESTREL" --version)
[[ $version_line =~ ^kestrel\ ${VERSION//./\\.}(\ \(git\ [0-9A-Za-z._+-]+\))?$ ]] &&
    pass "installed kestrel --version: $version_line" || fail "installed kestrel --version: '$version_line'"
needed=$(readelf -d "$KESTREL" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | paste -sd' ' -)
[[ $needed != *libkestrel* ]] && pass "kestrel needs no libkestrel at run time ($needed)" ||
    fail "kestrel needs libkestrel: $needed"
"$ROOT/tests/scripts/library_test.sh" "$PREFIX/lib/libkestrel.so.$MAJOR" "$MAJOR" >"$WORK/library.log" 2>&1 &&
    pass "installed library: SONAME and the ten exports" || { cat "$WORK/library.log"; fail "installed library"; }
cmp -s "$ROOT/packaging/completion.bash" "$PREFIX/share/bash-completion/completions/kestrel" &&
    pass "bash completion installed" || fail "bash completion differs from packaging/completion.bash"
# The manual page names the documentation where this installation put it.
grep -qx "\.I $PREFIX/share/doc/kestrel/README.md" "$PREFIX/share/man/man1/kestrel.1" &&
    pass "manual page: FILES names $PREFIX/share/doc/kestrel" ||
    fail "manual page: FILES does not name $PREFIX/share/doc/kestrel/README.md"

# The README shows the example's code as it is (its lines after the two comment lines).
code=$(sed -n '3,$p' "$ROOT/tools/install-example/convert.c" | sed 's/^./    &/')
[[ $(cat "$ROOT/README.md") == *"$code"* ]] && pass "the README shows tools/install-example/convert.c" ||
    fail "the README's C example differs from tools/install-example/convert.c"

# What the installed command writes, for the example's outputs to be compared with.
mkdir -p "$WORK/reference"
"$KESTREL" convert -q "$STATION_LOG" -o "$WORK/reference/gsi" >"$WORK/reference.log" 2>&1 ||
    { cat "$WORK/reference.log"; die "installed kestrel convert"; }
reference_counts=$(sed -n 's/^\([0-9]*\) epochs, \([0-9]*\) ephemerides written.*/\1 epochs, \2 ephemerides/p' "$WORK/reference.log")
[ -n "$reference_counts" ] || die "no summary line from kestrel convert"

# check_example LABEL PROGRAM [environment...]: converts the station log with an example
# program and compares what it wrote and printed with the command's.
check_example() {
    local label=$1 program=$2 out=$WORK/$1-out
    shift 2
    local printed
    mkdir -p "$out"
    printed=$(env "$@" "$program" "$STATION_LOG" "$out/gsi" 2>"$WORK/$label.err")
    check "$label: example converts the station log ($printed)" "$reference_counts" "$printed"
    cmp -s "$WORK/reference/gsi.epp" "$out/gsi.epp" && pass "$label: ephemeris file as the command's" ||
        fail "$label: ephemeris file differs from the command's"
    cmp -s <(tail -c +$((OBX_HEADER_BYTES + 1)) "$WORK/reference/gsi.obx") \
        <(tail -c +$((OBX_HEADER_BYTES + 1)) "$out/gsi.obx") &&
        pass "$label: OBX epochs as the command's" || fail "$label: OBX epochs differ from the command's"
    "$KESTREL" inspect "$out/gsi.obx" >/dev/null 2>&1 && pass "$label: kestrel inspect finds the OBX file sound" ||
        fail "$label: kestrel inspect finds the OBX file unsound"
}

# ---------------------------------------------------------------------------------------
echo "== the example through pkg-config"
mkdir -p "$WORK/pkg-config"
export PKG_CONFIG_LIBDIR=$PREFIX/lib/pkgconfig  # this prefix only, never the system's
check "pkg-config --modversion kestrel" "$VERSION" "$(pkg-config --modversion kestrel 2>&1)"
# shellcheck disable=SC2046
if cc -std=c99 -Wall -Wextra -Werror -pedantic -o "$WORK/pkg-config/convert" \
    "$ROOT/tools/install-example/convert.c" $(pkg-config --cflags --libs kestrel) >"$WORK/pc-build.log" 2>&1; then
    pass "pkg-config: example builds (C99, no warning)"
    resolved=$(LD_LIBRARY_PATH=$PREFIX/lib ldd "$WORK/pkg-config/convert" | awk '$1 == "libkestrel.so.'"$MAJOR"'" { print $3 }')
    check "pkg-config: example loads the prefix's library" "$PREFIX/lib/libkestrel.so.$MAJOR" "$resolved"
    check_example pkg-config "$WORK/pkg-config/convert" LD_LIBRARY_PATH="$PREFIX/lib"
else
    cat "$WORK/pc-build.log"
    fail "pkg-config: example does not build"
fi
# As the README gives it for a prefix off the linker's path: the library's folder written
# into the program, which then runs as it is.
# shellcheck disable=SC2046
if cc -o "$WORK/pkg-config/convert-rpath" "$ROOT/tools/install-example/convert.c" $(pkg-config --cflags --libs kestrel) \
        -Wl,-rpath,$(pkg-config --variable=libdir kestrel) >"$WORK/pc-rpath-build.log" 2>&1; then
    check_example pkg-config-rpath "$WORK/pkg-config/convert-rpath"
else
    cat "$WORK/pc-rpath-build.log"
    fail "pkg-config: example with an rpath does not build"
fi
unset PKG_CONFIG_LIBDIR

echo "== the example through find_package(Kestrel)"
if cmake -S "$ROOT/tools/install-example" -B "$WORK/cmake" -DCMAKE_PREFIX_PATH="$PREFIX" \
        -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF >"$WORK/cm-build.log" 2>&1 &&
    cmake --build "$WORK/cmake" >>"$WORK/cm-build.log" 2>&1; then
    pass "find_package: example builds"
    check "find_package: Kestrel found in the prefix" "$PREFIX/lib/cmake/Kestrel" \
        "$(sed -n 's/^Kestrel_DIR:PATH=//p' "$WORK/cmake/CMakeCache.txt")"
    # CMake gives the program the imported library's folder as its run path.
    check_example cmake "$WORK/cmake/convert"
else
    cat "$WORK/cm-build.log"
    fail "find_package: example does not build"
fi
if cmake -S "$ROOT/tools/install-example" -B "$WORK/cmake-next-major" -DCMAKE_PREFIX_PATH="$PREFIX" \
        -DKESTREL_WANTED_VERSION=$((MAJOR + 1)).0 >/dev/null 2>&1; then
    fail "find_package: Kestrel $VERSION taken for a program that needs $((MAJOR + 1)).0"
else
    pass "find_package: Kestrel $VERSION refused for a program that needs $((MAJOR + 1)).0"
fi

# ---------------------------------------------------------------------------------------
echo "== Debian package"
DEB=$BUILD/kestrel_${VERSION}_amd64.deb
rm -f "$DEB"
(cd "$BUILD" && cpack -G DEB) >"$WORK/cpack.log" 2>&1 || { cat "$WORK/cpack.log"; die "cpack -G DEB"; }
[ -f "$DEB" ] || die "cpack made no $DEB"
pass "cpack -G DEB made $(basename "$DEB") ($(stat -c %s "$DEB") bytes)"
depends=$(dpkg-deb -f "$DEB" Depends)
[[ $depends == *libc6* && $depends == *libstdc++6* ]] && pass "dependencies computed: $depends" ||
    fail "dependencies not computed: '$depends'"
check "package contents" "./usr/bin/kestrel
./usr/include/kestrel/kestrel.h
./usr/include/kestrel/records.h
./usr/lib/cmake/Kestrel/KestrelConfig.cmake
./usr/lib/cmake/Kestrel/KestrelConfigVersion.cmake
./usr/lib/cmake/Kestrel/KestrelTargets-CONFIG.cmake
./usr/lib/cmake/Kestrel/KestrelTargets.cmake
./usr/lib/libkestrel.so
./usr/lib/libkestrel.so.$MAJOR
./usr/lib/libkestrel.so.$VERSION
./usr/lib/pkgconfig/kestrel.pc
./usr/lib/systemd/system/kestrel-stream@.service
./usr/share/bash-completion/completions/kestrel
./usr/share/doc/kestrel/README.md
./usr/share/doc/kestrel/changelog.gz
./usr/share/doc/kestrel/copyright
./usr/share/man/man1/kestrel.1.gz" \
    "$(dpkg-deb -c "$DEB" | awk '$1 !~ /^d/ { print $6 }' | sed 's|KestrelTargets-[a-z]*\.cmake|KestrelTargets-CONFIG.cmake|' | LC_ALL=C sort)"
dpkg-deb -x "$DEB" "$WORK/deb"
for binary in usr/bin/kestrel "usr/lib/libkestrel.so.$VERSION"; do
    [[ $(file -b "$WORK/deb/$binary") == *", stripped"* ]] && pass "$binary is stripped" || fail "$binary is not stripped"
done
grep -q "^ExecStart=/usr/bin/kestrel stream " "$WORK/deb/usr/lib/systemd/system/kestrel-stream@.service" &&
    pass "the station unit runs /usr/bin/kestrel" || fail "the station unit: $(grep '^ExecStart=' "$WORK/deb/usr/lib/systemd/system/kestrel-stream@.service")"
grep -q "^prefix=/usr$" "$WORK/deb/usr/lib/pkgconfig/kestrel.pc" && pass "kestrel.pc has prefix /usr" ||
    fail "kestrel.pc: $(grep '^prefix=' "$WORK/deb/usr/lib/pkgconfig/kestrel.pc")"

echo "-- lintian"
lintian --fail-on error --display-info "$DEB" >"$WORK/lintian.log" 2>&1
status=$?
sed 's/^/    /' "$WORK/lintian.log"
[ $status -eq 0 ] && pass "lintian finds no error" || fail "lintian finds errors (status $status)"

if [ "$(id -u)" -ne 0 ]; then
    echo "not root: the package is not installed (dpkg -i and -r need root)"
elif [ "$(dpkg-query -W -f '${db:Status-Status}' kestrel 2>/dev/null)" = installed ]; then
    fail "a kestrel package is installed already; remove it (dpkg -r kestrel) to test this one"
else
    echo "-- dpkg -i"
    if dpkg -i "$DEB" >"$WORK/dpkg.log" 2>&1; then
        DEB_INSTALLED_HERE=1
        pass "dpkg -i"
        check "kestrel on the PATH is the package's" /usr/bin/kestrel "$(command -v kestrel)"
        line=$(kestrel --version 2>&1)
        [[ $line == "kestrel $VERSION"* ]] && pass "kestrel --version: $line" || fail "kestrel --version: '$line'"
        check "man -w kestrel" /usr/share/man/man1/kestrel.1.gz "$(man -w kestrel 2>&1)"
        check "pkg-config finds the installed library" "$VERSION" "$(pkg-config --modversion kestrel 2>&1)"
        # A program built against the package's library runs as it is (/usr/lib is on the
        # dynamic linker's search path).
        # shellcheck disable=SC2046
        if cc -o "$WORK/system-convert" "$ROOT/tools/install-example/convert.c" \
                $(pkg-config --cflags --libs kestrel) >"$WORK/system-build.log" 2>&1; then
            # (/lib is /usr/lib on a merged-/usr system.)
            resolved=$(ldd "$WORK/system-convert" | awk '$1 == "libkestrel.so.'"$MAJOR"'" { print $3 }')
            check "the example built against the package loads /usr/lib/libkestrel.so.$MAJOR" \
                "$(readlink -f "/usr/lib/libkestrel.so.$MAJOR")" "$(readlink -f "$resolved")"
            check_example package "$WORK/system-convert"
        else
            cat "$WORK/system-build.log"
            fail "the example does not build against the package"
        fi
        echo "-- dpkg -r"
        dpkg -r kestrel >>"$WORK/dpkg.log" 2>&1 && DEB_INSTALLED_HERE=0
        [ "$DEB_INSTALLED_HERE" -eq 0 ] && [ ! -e /usr/bin/kestrel ] && [ ! -e "/usr/lib/libkestrel.so.$MAJOR" ] &&
            pass "dpkg -r removes the command and the library" || fail "dpkg -r left files behind"
        # No record of it either (dpkg -r keeps one until a purge, for its postrm).
        dpkg -P kestrel >>"$WORK/dpkg.log" 2>&1 || fail "dpkg -P"
    else
        cat "$WORK/dpkg.log"
        fail "dpkg -i"
    fi
fi

# ---------------------------------------------------------------------------------------
echo "== zip of the 32-bit Windows plug-in ($WIN_BUILD)"
if ! command -v "$MINGW-g++-posix" >/dev/null 2>&1; then
    echo "the MinGW-w64 cross compiler is not installed: zip not built"
    finish
fi
mkdir -p "$WIN_BUILD"
ZIP=$WIN_BUILD/kestrel-$VERSION-win32.zip
rm -f "$ZIP"
if cmake -S "$ROOT" -B "$WIN_BUILD" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-i686.cmake" \
        -DCMAKE_BUILD_TYPE=Release -DKESTREL_BUILD_TESTS=OFF -DKESTREL_BUILD_TOOLS=OFF \
        -DKESTREL_BUILD_BENCH=OFF >"$WORK/win-configure.log" 2>&1 &&
    cmake --build "$WIN_BUILD" -j2 >"$WORK/win-build.log" 2>&1 &&
    (cd "$WIN_BUILD" && cpack) >"$WORK/win-cpack.log" 2>&1 && [ -f "$ZIP" ]; then
    pass "cpack made $(basename "$ZIP") ($(stat -c %s "$ZIP") bytes)"
    top=kestrel-$VERSION-win32
    check "zip contents" "$top/LICENSE
$top/README.md
$top/include/kestrel/kestrel.h
$top/include/kestrel/records.h
$top/kestrel.dll" "$(unzip -Z1 "$ZIP" | grep -v '/$' | LC_ALL=C sort)"
    unzip -l "$ZIP" | sed 's/^/    /'
    unzip -q -d "$WORK/zip" "$ZIP"
    dll=$WORK/zip/$top/kestrel.dll
    debug=$("$MINGW-objdump" -h "$dll" | awk '$2 ~ /^\.debug/ { print $2 }' | paste -sd' ' -)
    check "kestrel.dll carries no debugging sections" "" "$debug"
    exports=$("$MINGW-objdump" -p "$dll" | grep -cE '\] _(SetFactoryDefaults|AutoDetect|Abort|GetErrString|ConvertFile|GetThreadBufRecCount|GetThreadBufRecSize|ReadThreadBufData|GetThreadBufSize|SetThreadBufSize)@[0-9]+$')
    check "kestrel.dll exports the ten functions" 10 "$exports"
    cmp -s "$ROOT/include/kestrel/kestrel.h" "$WORK/zip/$top/include/kestrel/kestrel.h" &&
        pass "zip holds the public header as it is" || fail "zip's kestrel.h differs"
else
    tail -n 30 "$WORK"/win-*.log
    fail "win32 zip not made"
fi
finish
