#!/usr/bin/env bash
# The whole test suite: unit and end-to-end tests on Linux, the same again
# under AddressSanitizer and UndefinedBehaviorSanitizer, a short run of each
# fuzz target, the Windows builds with their checks, and the end-to-end suite
# under Wine: the shipped i686 exe on 32-bit Wine through the emulator
# qemu-i386, the x86_64 exe on wine64. Each step below is a command of its
# own that can be run by hand in this order (after `source tools/setup.sh`).
set -euo pipefail
cd "$(dirname "$0")"

# Each step's wall time, for the split by stage printed at the end
# (docs/benchmark.md quotes it).
stages=()
step() {
    [ -z "${stage:-}" ] || stages+=("$stage|$((SECONDS - stage_start))")
    stage=$1 stage_start=$SECONDS
    echo "== $2 ($SECONDS s)"
}

step setup "Packages of the Linux stages"
RCK_SETUP=linux source tools/setup.sh

# A Wine that cannot start fails the Wine suites instead of skipping them.
export RCK_WINE_REQUIRED=1

# The packages of the Windows stages are installed, and the 32-bit Wine is
# downloaded and unpacked, while the Linux builds run.
mkdir -p build
(RCK_SETUP=windows bash tools/setup.sh && tools/setup-wine32.sh) >build/setup-windows.log 2>&1 &
windows_setup=$!

step checks "Source formatting, and no layer including from a layer above it"
tools/check_format.sh
tools/check_layers.py

step linux "Linux build and tests"
cmake --preset linux
cmake --build --preset linux -j2
ctest --preset linux -j2

step linux-sanitize "Linux build and tests with AddressSanitizer and UndefinedBehaviorSanitizer"
cmake --preset linux-sanitize
cmake --build --preset linux-sanitize -j2
ctest --preset linux-sanitize -j2

step fuzz "Fuzz targets, a short run of each"
cmake --preset fuzz
cmake --build --preset fuzz -j2
tools/fuzz.sh --smoke

step windows-setup "Packages of the Windows stages and the 32-bit Wine (what is left of preparing them)"
wait "$windows_setup" || { cat build/setup-windows.log; exit 1; }

step win32 "Windows i686 build, its checks and release package, the Wine suite under the emulator"
cmake --preset win32
cmake --build --preset win32 -j2
ctest --preset win32

step win64 "Windows x86_64 build, its check, the Wine suite on wine64"
cmake --preset win64
cmake --build --preset win64 -j2
ctest --preset win64

step end "Split by stage"
echo "| Stage | Seconds |"
echo "|---|---|"
for entry in "${stages[@]}"; do
    echo "| ${entry%%|*} | ${entry##*|} |"
done
echo "| total | $SECONDS |"
echo "All tests passed ($SECONDS s)."
