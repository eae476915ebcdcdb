#!/usr/bin/env bash
# Builds the program for Linux and runs it on a copy of the built-in default
# machine (a Windows 2000 machine with the card installed): the commands a
# script would run, each with its exit code, then the registry afterwards.
set -euo pipefail
cd "$(dirname "$0")"
source tools/setup.sh

cmake --preset linux >/dev/null
cmake --build --preset linux --target rckrv48 >/dev/null

exe=build/linux/cli/rckrv48
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export RCKRV48_MACHINE="$work/machine.txt"
cp simwin/default.machine "$RCKRV48_MACHINE"

run() {
    local out rc
    set +e
    out=$("$exe" "$@")
    rc=$?
    set -e
    printf '%-60s exit %3d' "rckrv48 $*" "$rc"
    [ -n "$out" ] && printf '   output: %q' "$out"
    printf '\n'
}

echo "== Commands on the default machine (Windows 2000, card installed)"
run V
run H
run H 2
run H 0
run @
run K 2 0x0123456789 secrt "" abcdefghijklm
run W 1A2B3 1
# The record K stored in profile 1, copied into profile 2 as a script would.
record=$(sed -n 's/^"Encryption"="\(.*\)"$/\1/p' "$RCKRV48_MACHINE" | head -n 1 | sed 's/\\\\/\\/g')
run E "$record" 2
echo "== Malformed command lines"
run
run h
run HH
run V extra
run H 5
run E tooshort
run K 0 "" "" "" ""
run W 1234
echo "== The machine afterwards ($RCKRV48_MACHINE)"
cat "$RCKRV48_MACHINE"
