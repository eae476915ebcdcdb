#!/usr/bin/env bash
# The whole test suite: unit and end-to-end tests on Linux, the same again
# under AddressSanitizer and UndefinedBehaviorSanitizer, a short run of each
# fuzz target, the Windows builds with their checks, and the end-to-end suite
# under Wine: the shipped i686 exe on 32-bit Wine through the emulator
# qemu-i386, the x86_64 exe on wine64.
set -euo pipefail
cd "$(dirname "$0")"
source tools/setup.sh

jobs=$(nproc)
# A Wine that cannot start fails the Wine suites instead of skipping them.
export RCK_WINE_REQUIRED=1

echo "== Source formatting, and no layer including from a layer above it"
tools/check_format.sh
tools/check_layers.py

echo "== Linux build and tests"
cmake --preset linux
cmake --build --preset linux -j "$jobs"
ctest --preset linux -j "$jobs"

echo "== Linux build and tests with AddressSanitizer and UndefinedBehaviorSanitizer"
cmake --preset linux-sanitize
cmake --build --preset linux-sanitize -j "$jobs"
ctest --preset linux-sanitize -j "$jobs"

echo "== Fuzz targets, a short run of each"
tools/fuzz.sh --smoke

echo "== Windows builds with their checks, and the end-to-end suite under Wine"
echo "-- 32-bit Wine for the shipped i686 exe"
tools/setup-wine32.sh >/dev/null
cmake --preset win32
cmake --build --preset win32 -j "$jobs"
ctest --test-dir build/win32/tests/e2e/win --output-on-failure
cmake --preset win64
cmake --build --preset win64 -j "$jobs"
ctest --test-dir build/win64/tests/e2e/win --output-on-failure

echo "All tests passed ($SECONDS s)."
