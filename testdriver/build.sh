#!/usr/bin/env bash
# Builds the test card driver for Wine and its test client with mingw-w64,
# for x86_64 (a 64-bit prefix) or i686 (a 32-bit prefix, which hosts only
# 32-bit kernel drivers). The host test of the card's answers is built by
# CMake with the Linux unit tests (testdriver/CMakeLists.txt).
#
# Usage: testdriver/build.sh [OUTDIR [x86_64|i686]]
#        (default: build/testdriver, x86_64)
# Gives OUTDIR/testcard.sys and OUTDIR/cardclient.exe.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
root="$(dirname "$here")"
out="${1:-$root/build/testdriver}"
arch="${2:-x86_64}"
mkdir -p "$out"

case "$arch" in
    # DriverEntry is a stdcall function: on i686 its symbol carries the
    # size of its two arguments.
    x86_64) entry=DriverEntry ;;
    i686) entry=_DriverEntry@8 ;;
    *) echo "build.sh: unknown architecture $arch" >&2; exit 2 ;;
esac
cc=$arch-w64-mingw32-gcc
warnings=(-Wall -Wextra -Werror -Wshadow -std=c99)

# A kernel driver: no C runtime, the native subsystem, entered at
# DriverEntry, importing only from ntoskrnl and hal.
"$cc" "${warnings[@]}" -O2 -ffreestanding -fno-builtin -fno-stack-protector -nostdlib -shared \
    -Wl,--subsystem,native -Wl,--entry,$entry -Wl,--no-insert-timestamp \
    -o "$out/testcard.sys" "$here/testcard.c" "$here/card_model.c" -lntoskrnl -lhal -lgcc

"$cc" "${warnings[@]}" -O2 -o "$out/cardclient.exe" "$here/cardclient.c" "$here/card_model.c"
