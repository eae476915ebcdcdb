#!/usr/bin/env python3
"""The fault of 32-bit Wine 8 that the i686 suite steps around, shown.

Usage: check_wine_define.py --probe rck_probe.exe [--prefix DIR]

The program's W defines a DOS device name such as "PcCard0-0" when it does
not exist yet. 32-bit Wine 8's DefineDosDeviceA crashes on such a name: its
kernelbase copies "\\DosDevices\\" and the name into a 15-character stack
buffer. So on 32-bit Wine the scenario runner keeps the test card driver
running for every W, and its links spare the program the call (see
run_scenarios_wine.py). This check makes the probe define and remove a name
of the same length, as W does: wine64 must take it, and 32-bit Wine must
still crash; once a Wine takes it, the check fails so that the way around
it can go.

Exit code 0 when each Wine does as said, 1 otherwise, 77 when Wine is missing.
"""

import argparse
import os
import signal
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import wine as wn  # noqa: E402

# As long as the program's "PcCard0-0", and none of the names it looks for.
NAME = "RckProbe0"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--probe", required=True)
    parser.add_argument("--prefix", help="use this Wine prefix instead of a fresh one")
    args = parser.parse_args()
    if not wn.available():
        return wn.require_or_skip()
    with wn.Wine(args.prefix) as wine:
        proc = wine.run(os.path.abspath(args.probe), ["define", NAME])
    crashed = proc.returncode in (-signal.SIGSEGV, 128 + signal.SIGSEGV)
    if wn.WIN32 and not crashed:
        print("FAIL 32-bit Wine no longer crashes in DefineDosDeviceA (exit code %d): the "
              "runner's way around it can go" % proc.returncode)
        return 1
    if not wn.WIN32 and proc.returncode != 0:
        print("FAIL wine64's DefineDosDeviceA failed on %s (exit code %d)" %
              (NAME, proc.returncode))
        return 1
    print("DefineDosDeviceA(%s) on %s Wine: %s, as expected" %
          (NAME, "32-bit" if wn.WIN32 else "64-bit", "crashed" if crashed else "done"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
