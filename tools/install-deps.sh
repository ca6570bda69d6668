#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# Installs the packages Kestrel needs on Debian 12 or Ubuntu 22.04/24.04, from the
# distribution's archive: the one list of them, used by the README's commands and by CI.
#
#   tools/install-deps.sh            the build, every test and the sample conversion
#   tools/install-deps.sh --ci       also the sanitizer and fuzzing compilers and the
#                                    package checks of CI's later stages
#   tools/install-deps.sh --windows  the 32-bit Windows cross compiler, Wine and the i386
#                                    architecture (tools/test-windows.sh setup)
#   tools/install-deps.sh --list [--ci|--windows]   prints the packages; installs nothing
#
# As root, or through sudo otherwise. When every package is installed already it installs
# nothing and asks for no password.
set -euo pipefail

# The build, the sample and the tests. The browser renders the quality check's HTML page in a
# test, which is skipped where there is none; curl and rtklib's str2str are the network tests'
# peers.
BASE=(
    ca-certificates git cmake make g++ pkg-config
    libcli11-dev nlohmann-json3-dev libcairo2-dev zlib1g-dev fonts-dejavu-core
    libgtest-dev libgmock-dev libbenchmark-dev
    help2man man-db bash-completion valgrind parallel rtklib curl chromium
)
# Sanitizer build and fuzzing (clang), the installation and package checks, the Windows zip.
CI=(
    clang-14 libclang-rt-14-dev llvm-14
    lintian dpkg-dev file unzip
    g++-mingw-w64-i686 binutils-mingw-w64-i686
)
# The plug-in's tests under Wine; Wine's programs are 32-bit, hence the i386 architecture.
WINDOWS=(wine wine32:i386 g++-mingw-w64-i686 binutils-mingw-w64-i686 qemu-user-static)

usage() {
    echo "usage: $0 [--list] [--ci | --windows]" >&2
    exit 2
}

list_only=0
group=base
for arg in "$@"; do
    case $arg in
        --list) list_only=1 ;;
        --ci) group=ci ;;
        --windows) group=windows ;;
        -h | --help) sed -n '3,14p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
        *) usage ;;
    esac
done

# Which distribution: names that differ between them are mapped here.
. /etc/os-release 2>/dev/null || true
distro="${ID:-unknown} ${VERSION_ID:-}"
case ${ID:-} in
    debian | ubuntu) ;;
    *) echo "install-deps: $distro is not Debian or Ubuntu; trying Debian's package names" >&2 ;;
esac

case $group in
    base) packages=("${BASE[@]}") ;;
    ci) packages=("${BASE[@]}" "${CI[@]}") ;;
    windows) packages=("${WINDOWS[@]}") ;;
esac

mapped=()
for p in "${packages[@]}"; do
    if [ "${ID:-}" = ubuntu ]; then
        case $p in
            # Ubuntu's chromium is a snap, which does not run in containers: the browser test
            # is skipped there.
            chromium) echo "install-deps: no chromium package on Ubuntu (a snap); the browser test will be skipped" >&2; continue ;;
            # Ubuntu 22.04 keeps clang's sanitizer runtimes in libclang-common-14-dev.
            libclang-rt-14-dev) [ "${VERSION_ID:-}" = 22.04 ] && p=libclang-common-14-dev ;;
        esac
    fi
    mapped+=("$p")
done

if [ "$list_only" -eq 1 ]; then
    printf '%s\n' "${mapped[@]}"
    exit 0
fi

# Nothing to do when every package is installed (for the architecture named, if any).
missing=()
for p in "${mapped[@]}"; do
    status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
    [ "$status" = "install ok installed" ] || missing+=("$p")
done
if [ "${#missing[@]}" -eq 0 ]; then
    echo "install-deps: all ${#mapped[@]} packages are installed"
    exit 0
fi

as_root=()
if [ "$(id -u)" -ne 0 ]; then
    if ! command -v sudo >/dev/null; then
        echo "install-deps: run as root, or install sudo: ${missing[*]} must be installed" >&2
        exit 1
    fi
    as_root=(sudo)
fi

echo "install-deps: installing on $distro: ${missing[*]}"
if [ "$group" = windows ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    "${as_root[@]}" dpkg --add-architecture i386
fi
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -q
if ! "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"; then
    if [ "${ID:-}" = ubuntu ]; then
        echo "install-deps: some packages are in Ubuntu's universe component: 'sudo add-apt-repository universe', then run this again" >&2
    fi
    exit 1
fi
