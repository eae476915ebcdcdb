#!/usr/bin/env python3
"""Times V, H and W under Wine next to an empty program, for tools/benchmark.py.

Usage: wine_commands.py --exe rckrv48.exe --empty rck_empty.exe --driver testcard.sys
                        --probe rck_probe.exe

Which Wine runs them is wine.py's choice (RCK_WINE, WINEARCH): the machine's
wine64, or the 32-bit Wine under the emulator. In a fresh prefix with the
test card driver holding one card on a Windows 2000 machine (the first W
scenario of tests/scenarios/driver-win2000.scn), each program runs ROUNDS
times, in turns, after one warm-up round that starts Wine's services.
Prints one line per program: NAME MEDIAN_SECONDS EXIT_CODE.
"""

import argparse
import os
import statistics
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
import scenario as sc  # noqa: E402
import wine as wn  # noqa: E402
import wine_driver as wd  # noqa: E402

SCENARIOS = os.path.join(ROOT, "tests", "scenarios", "driver-win2000.scn")
ROUNDS = 5


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--exe", required=True)
    ap.add_argument("--empty", required=True)
    ap.add_argument("--driver", required=True)
    ap.add_argument("--probe", required=True, help="rck_probe.exe, which sets the registry")
    opts = ap.parse_args()
    if not wn.available():
        print("Wine not found (%s)" % wn.WINE, file=sys.stderr)
        return 1
    s = next(s for s in sc.load_scenarios(SCENARIOS) if s.args[:1] == ["W"] and s.exit == 0)
    programs = [("empty", os.path.abspath(opts.empty), []),
                ("V", os.path.abspath(opts.exe), ["V"]),
                ("H", os.path.abspath(opts.exe), ["H"]),
                ("W", os.path.abspath(opts.exe), s.args)]
    times = {name: [] for name, _, _ in programs}
    codes = {}
    with wn.Wine(probe=opts.probe) as wine:
        driver = wd.CardDriver(wine, opts.driver)
        driver.install()
        registry = [l for l in s.registry_lines if l.strip() != "REGEDIT4"]
        driver.configure(s.machine_lines, wn.family_lines(s.family) + registry)
        for round_ in range(ROUNDS + 1):
            for name, program, args in programs:
                start = time.monotonic()
                proc = wine.run(program, args)
                if round_:
                    times[name].append(time.monotonic() - start)
                codes[name] = proc.returncode
        driver.remove()
    for name, _, _ in programs:
        print("%s %.3f %d" % (name, statistics.median(times[name]), codes[name]))
    return 0


if __name__ == "__main__":
    sys.exit(main())
