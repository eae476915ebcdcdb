#!/usr/bin/env python3
"""The Wine runner must fail a scenario whose expectation the program does
not meet, each kind of expectation on its own, and must not let one
scenario's atoms or registry leak into the next.

Usage: test_run_scenarios_wine.py --exe rckrv48.exe --probe rck_probe.exe [--prefix DIR]
"""

import argparse
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
RUNNER = os.path.join(HERE, "..", "run_scenarios_wine.py")
sys.path.insert(0, os.path.join(HERE, ".."))
import scenario as sc  # noqa: E402

# Each scenario's name ends in how the runner has to report it.
SCENARIOS = r"""
keytext FALLBACK = --default 2 abcde 0x0102030405 "" 'a"b\ c d e fg'
=== manager present, leaving RAD INSTALLED 1 behind, must pass
family: nt4
registry:
  [HKEY_LOCAL_MACHINE\Software\Corvane\Client Manager]
  "version"="2.1"
run: @
exit: 101
expect-machine:
  [Atoms]
  RAD INSTALLED 1

=== atom of the scenario before, must fail: lacks RAD INSTALLED 1
family: nt4
run: @
exit: 100
expect-machine:
  [Atoms]
  RAD INSTALLED 1

=== registry of the scenario before, must fail: exit code 100
family: win98
run: @
exit: 101

=== stdout, must fail: stdout
family: win2000
run: V
exit: 0
stdout: "RCKRV48.EXE Variant 1, Version 6.14\n"

=== exit code, must fail: exit code 0, expected 4
family: win2000
run: V
exit: 4
stdout: "RCKRV48.EXE Variant 1, Version 6.14\r\n"

=== a value written that the scenario does not expect, must fail: unexpected key
family: win95
run: K 2 abcde 0x0102030405 "" 'a"b\ c d e fg'
exit: 0

=== the value the program wrote, must pass
family: win95
run: K 2 abcde 0x0102030405 "" 'a"b\ c d e fg'
exit: 0
changes:
  [HKEY_LOCAL_MACHINE\Software\Corvane\Driver]
  "Encryption"="${FALLBACK}"

=== a change the program did not make, must fail: expected "version"="2.2"
family: win95
registry:
  [HKEY_LOCAL_MACHINE\Software\Corvane\Client Manager]
  "version"="2.1"
run: @
exit: 101
changes:
  [HKEY_LOCAL_MACHINE\Software\Corvane\Client Manager]
  "version"="2.2"

=== a card driver, must skip: needs the test driver
family: win2000
machine:
  [Device PcCard0-0]
run: W 12345
exit: 0

=== a failing version query, must skip: [Windows]
family: win2000
machine:
  [Windows]
  VersionQuery=fails
run: H
exit: 2
"""


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--exe", required=True)
    parser.add_argument("--probe", required=True)
    parser.add_argument("--prefix")
    args = parser.parse_args()
    command = [sys.executable, RUNNER, "--exe", args.exe, "--probe", args.probe]
    if args.prefix:
        command[2:2] = ["--prefix", args.prefix]
    output, returncode, problems = sc.play_runner(command, SCENARIOS)
    if "Wine not found" in output:
        print(output)
        return returncode
    if returncode != 1:
        problems.append("runner exit code %d, expected 1" % returncode)
    for p in problems:
        print("FAIL %s" % p)
    print("%d runner verdicts checked, %d wrong" % (SCENARIOS.count("\n=== "), len(problems)))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
