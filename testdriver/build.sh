#!/usr/bin/env bash
# Builds the test card driver for Wine and its test client with mingw-w64
# (x86_64). The host test of the card's answers is built by CMake with the
# Linux unit tests (testdriver/CMakeLists.txt).
#
# Usage: testdriver/build.sh [OUTDIR]      (default: build/testdriver)
# Gives OUTDIR/testcard.sys and OUTDIR/cardclient.exe.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
root="$(dirname "$here")"
out="${1:-$root/build/testdriver}"
mkdir -p "$out"

cc=x86_64-w64-mingw32-gcc
warnings=(-Wall -Wextra -Werror -Wshadow -std=c99)

# A kernel driver: no C runtime, the native subsystem, entered at
# DriverEntry, importing only from ntoskrnl and hal.
"$cc" "${warnings[@]}" -O2 -ffreestanding -fno-builtin -fno-stack-protector -nostdlib -shared \
    -Wl,--subsystem,native -Wl,--entry,DriverEntry -Wl,--no-insert-timestamp \
    -o "$out/testcard.sys" "$here/testcard.c" "$here/card_model.c" -lntoskrnl -lhal -lgcc

"$cc" "${warnings[@]}" -O2 -o "$out/cardclient.exe" "$here/cardclient.c" "$here/card_model.c"
