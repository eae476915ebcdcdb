#!/usr/bin/env python3
"""Plays end-to-end scenarios on the Linux executable and its simulated machine.

Usage: run_scenarios.py --exe PATH FILE.scn...

Each scenario gets a fresh machine file (its Windows family, machine lines
and registry), the executable runs once on it with RCKRV48_MACHINE naming it,
and the exit code, standard output, the registry and the machine's other
state afterwards are compared with the scenario's expectations.

Scenarios started through a deployment script (`through:`) need cmd or
Windows Script Host: they are skipped here and played by the Wine runner.
Exit code 0 when nothing failed, 1 when something failed, 77 when every
scenario was skipped.
"""

import argparse
import os
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import scenario as sc  # noqa: E402


def play(exe, s, workdir):
    path = os.path.join(workdir, "machine.txt")
    before = sc.machine_text(s.family, s.machine_lines, s.registry_lines)
    with open(path, "w", encoding="latin-1") as f:
        f.write(before)
    env = dict(os.environ, RCKRV48_MACHINE=path)
    proc = subprocess.run([exe] + s.args_in_code_page(), env=env, stdin=subprocess.DEVNULL,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60)
    problems = sc.outcome_problems(s, proc)
    with open(path, encoding="latin-1") as f:
        after = f.read()
    if s.exit in (1, 4) and after != before:
        # A refused command line writes, sends and adds nothing.
        problems.append("the machine changed although the command line was refused")
    start, _, _ = sc.parse_regedit(s.registry_lines, s.where())
    expected = sc.apply_changes(start, s.change_lines)
    actual, _, _ = sc.parse_regedit(after.split("REGEDIT4", 1)[1].split("\n"), "saved machine")
    problems += sc.compare_registry(expected, actual)
    sections = sc.machine_sections(after)
    for header, line in sc.expected_machine_lines(s):
        if line not in sections.get(header.lower(), []):
            problems.append("machine lacks [%s] %s" % (header, line))
    leftovers = [n for n in os.listdir(workdir) if n not in ("machine.txt", "machine.txt.lock")]
    if leftovers:
        problems.append("files left beside the machine file: %s" % leftovers)
    return problems


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--exe", required=True)
    parser.add_argument("files", nargs="+")
    args = parser.parse_args()
    failed = 0
    total = 0
    skipped = 0
    for path in args.files:
        for s in sc.load_scenarios(path):
            total += 1
            if s.through:
                skipped += 1
                print("skip %s %s: started through %s, which needs Windows (the Wine runner "
                      "plays it)" % (s.where(), s.name, s.through))
                continue
            with tempfile.TemporaryDirectory() as workdir:
                problems = play(args.exe, s, workdir)
            failed += sc.report(s, problems)
    print("%d scenarios, %d skipped, %d failed" % (total, skipped, failed))
    if failed or total == 0:
        return 1
    return 77 if skipped == total else 0


if __name__ == "__main__":
    sys.exit(main())
