#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when missing.
# Sourced by demo.sh and test.sh.
#
#   bash tools/setup.sh coverage   also clang 19 and its LLVM tools, which only
#                                  the coverage preset uses (tools/coverage.sh)
#
# RCK_SETUP=linux installs only what the Linux builds and tests need,
# RCK_SETUP=windows only what the Windows builds, the release package and
# the Wine suites add (test.sh installs those while the Linux stages run).
set -euo pipefail

rck_linux_packages=(cmake ninja-build g++ python3 clang-format git libgtest-dev googletest clang
                    libclang-rt-14-dev valgrind)
rck_windows_packages=(mingw-w64 wine wine64 binutils-mingw-w64-x86-64 binutils-mingw-w64-i686 pandoc)
case "${RCK_SETUP:-all}" in
linux) rck_packages=("${rck_linux_packages[@]}") ;;
windows) rck_packages=("${rck_windows_packages[@]}") ;;
*) rck_packages=("${rck_linux_packages[@]}" "${rck_windows_packages[@]}") ;;
esac
# Only when run, not sourced: a sourced script sees its caller's arguments.
if [ "${BASH_SOURCE[0]}" = "$0" ] && [ "${1:-}" = coverage ]; then
    rck_packages+=(clang-19 llvm-19)
fi

rck_sudo=""
[ "$(id -u)" -eq 0 ] || rck_sudo="sudo"
# A mirror mid-sync, or a proxy with a stale copy, fails an index whose size
# does not match its Release file, and apt-get update then fails as a whole
# although the other lists arrived; the install after it decides, since it
# fails when a package it needs is in none of them.
rck_apt_install() {
    export DEBIAN_FRONTEND=noninteractive
    $rck_sudo apt-get -q -o Acquire::Retries=3 update ||
        echo "setup.sh: apt-get update failed; going on with the lists that arrived" >&2
    $rck_sudo apt-get install -y -q -o Acquire::Retries=3 "$@"
}

rck_missing=()
for p in "${rck_packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        rck_missing+=("$p")
    fi
done
if [ ${#rck_missing[@]} -gt 0 ]; then
    echo "Installing: ${rck_missing[*]}"
    rck_apt_install "${rck_missing[@]}"
fi

# The Wine start-up check and the scenarios on code page 932 run programs in
# a Japanese locale, from which Wine takes that code page.
if ! locale -a 2>/dev/null | grep -qi '^ja_JP\.utf-\?8$'; then
    echo "Making the locale ja_JP.UTF-8"
    [ -e /usr/share/i18n/locales/ja_JP ] || rck_apt_install locales
    $rck_sudo localedef -i ja_JP -f UTF-8 ja_JP.UTF-8
fi
