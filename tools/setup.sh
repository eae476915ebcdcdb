#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when missing.
# Sourced by demo.sh and test.sh.
set -euo pipefail

rck_packages=(cmake ninja-build g++ python3 clang-format git libgtest-dev googletest clang libclang-rt-14-dev
              mingw-w64 wine wine64 valgrind binutils-mingw-w64-x86-64 pandoc)

rck_missing=()
for p in "${rck_packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        rck_missing+=("$p")
    fi
done
if [ ${#rck_missing[@]} -gt 0 ]; then
    echo "Installing: ${rck_missing[*]}"
    sudo_cmd=""
    [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
    export DEBIAN_FRONTEND=noninteractive
    $sudo_cmd apt-get update -q
    $sudo_cmd apt-get install -y -q "${rck_missing[@]}"
fi
