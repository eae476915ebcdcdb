#!/usr/bin/env python3
"""Measures the program and prints one table (how to read it: docs/benchmark.md).

Usage: tools/benchmark.py [--build-root DIR] [--no-build] [--no-wine] [--strict]

The builds go to DIR/linux, DIR/win32 and DIR/win64 (DIR is "build" by
default, so these are the presets' own folders). This is a measurement, not
a test: it always exits 0 unless --strict is given and a target is missed.
What it prints on standard output is what docs/benchmark.md quotes.
"""

import argparse
import math
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

import check_exe

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
OWN_INSTRUCTIONS_LIMIT = 200000
TIME_LIMIT = 1.0
GROWTH_LIMIT = 1.2
KEY_COUNTS = [1000, 10000, 100000]

# Every command on its success path, on the built-in default machine.
COMMANDS = [
    ("V", ["V"], 0),
    ("@", ["@"], 101),
    ("H", ["H"], 0),
    ("E", ["E", "&" * 51 + "e" * 51], 0),
    ("K", ["K", "2", "abcde", "0x0102030405", "", ""], 0),
    ("W", ["W", "1a2b3"], 0),
]

# Source folders of the program itself; everything else in a run is process
# start-up, the C and C++ runtimes, or the simulated machine.
OWN_CODE = re.compile(r"(^|/)(cli|settings|keyrecord|driver|runtime)/[^/ ]+\.cpp:")


def run(cmd, **kw):
    return subprocess.run(cmd, check=True, cwd=ROOT, **kw)


def build(preset, folder, targets):
    run(["cmake", "--preset", preset, "-B", folder], stdout=subprocess.DEVNULL)
    run(["cmake", "--build", folder, "--target"] + targets, stdout=subprocess.DEVNULL)


def callgrind(argv, env=None):
    """(total instructions, instructions in the program's own code, exit code)."""
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "callgrind.out")
        p = subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out] + argv,
                           env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        text = subprocess.run(["callgrind_annotate", "--auto=no", "--threshold=100", out],
                              stdout=subprocess.PIPE, text=True, check=True).stdout
    total = int(re.search(r"^([\d,]+) \(100.0%\)\s+PROGRAM TOTALS", text, re.M)
                .group(1).replace(",", ""))
    own = 0
    for line in text.splitlines():
        m = re.match(r"\s*([\d,]+) \(\s*[\d.]+%\)\s+(\S.*)$", line)
        if m and OWN_CODE.search(m.group(2)):
            own += int(m.group(1).replace(",", ""))
    return total, own, p.returncode


def wine_machines(win):
    """(label, build folder, environment, driver architecture) of each Wine."""
    print("preparing 32-bit Wine ...", file=sys.stderr)
    loader = run([os.path.join(ROOT, "tools", "setup-wine32.sh")], stdout=subprocess.PIPE,
                 text=True).stdout.strip()
    return [("i686 exe, 32-bit Wine under qemu-i386", win["win32"],
             dict(os.environ, RCK_WINE=loader, WINEARCH="win32"), "i686"),
            ("x86_64 exe, wine64", win["win64"], dict(os.environ), "x86_64")]


def wine_rows(linux, win):
    """V, H and W next to the empty program, and the scenario suite, on each
    machine."""
    rows = []
    scenarios = sorted(os.path.join(ROOT, "tests", "scenarios", f)
                       for f in os.listdir(os.path.join(ROOT, "tests", "scenarios"))
                       if f.endswith(".scn"))
    e2e = os.path.join(ROOT, "tests", "e2e")
    start = time.monotonic()
    run([sys.executable, os.path.join(e2e, "run_scenarios.py"), "--exe",
         os.path.join(ROOT, linux, "cli", "rckrv48")] + scenarios, stdout=subprocess.DEVNULL)
    rows.append(("Scenario suite, Linux simulated machine", "%.0f s" % (time.monotonic() - start),
                 "%d files" % len(scenarios), "", ""))
    with tempfile.TemporaryDirectory() as tmp:
        for label, folder, env, arch in wine_machines(win):
            exe = os.path.join(ROOT, folder, "cli", "rckrv48.exe")
            empty = os.path.join(ROOT, folder, "tools", "rck_empty.exe")
            probe = os.path.join(ROOT, folder, "tests", "e2e", "win", "rck_probe.exe")
            if not all(os.path.exists(p) for p in (exe, empty, probe)):
                rows.append(("Wine, " + label, "not built", folder, "", ""))
                continue
            driver = os.path.join(tmp, arch)
            run([os.path.join(ROOT, "testdriver", "build.sh"), driver, arch])
            machine = ["--exe", exe, "--probe", probe, "--driver",
                       os.path.join(driver, "testcard.sys")]
            print("timing commands under Wine: %s ..." % label, file=sys.stderr)
            out = run([sys.executable, os.path.join(ROOT, "tools", "bench", "wine_commands.py"),
                       "--empty", empty] + machine, env=env, stdout=subprocess.PIPE,
                      text=True).stdout
            timed = {f[0]: (float(f[1]), int(f[2])) for f in
                     (line.split() for line in out.splitlines())}
            empty_time = timed["empty"][0]
            rows.append(("Wine, empty program, " + label, "%.0f ms" % (empty_time * 1000),
                         "median of 5 starts", "", ""))
            for name in ("V", "H", "W"):
                seconds, code = timed[name]
                detail = "x%.2f the empty program" % (seconds / empty_time)
                if code != 0:
                    detail += "; exit code %d" % code
                rows.append(("Wine, command %s, %s" % (name, label), "%.0f ms" % (seconds * 1000),
                             detail, "", ""))
            print("playing the scenario suite: %s ..." % label, file=sys.stderr)
            start = time.monotonic()
            proc = subprocess.run([sys.executable, os.path.join(e2e, "run_scenarios_wine.py")]
                                  + machine + scenarios, env=env, cwd=ROOT,
                                  stdout=subprocess.PIPE, text=True)
            summary = (proc.stdout.strip().splitlines() or ["no output"])[-1]
            rows.append(("Scenario suite, " + label, "%.0f s" % (time.monotonic() - start),
                         "fresh prefix; " + summary, "", ""))
    return rows


def run_line():
    """The date, the commit and the command of this run, for the docs."""
    commit = subprocess.run(["git", "rev-parse", "--short", "HEAD"], cwd=ROOT, text=True,
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL).stdout.strip()
    if commit and subprocess.run(["git", "diff", "--quiet", "HEAD"], cwd=ROOT).returncode != 0:
        commit += " with changes"
    command = " ".join(["tools/benchmark.py"] + sys.argv[1:])
    return "Run of %s, commit %s: `%s`" % (time.strftime("%Y-%m-%d"), commit or "unknown", command)


def number(n):
    return "{:,}".format(n).replace(",", " ")


def met(ok):
    return "yes" if ok else "NO"


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--build-root", default="build")
    ap.add_argument("--no-build", action="store_true")
    ap.add_argument("--no-wine", action="store_true", help="leave out the Wine measures")
    ap.add_argument("--strict", action="store_true")
    opts = ap.parse_args()
    linux = os.path.join(opts.build_root, "linux")
    win = {arch: os.path.join(opts.build_root, arch) for arch in ("win32", "win64")}

    if not opts.no_build:
        print("building ...", file=sys.stderr)
        build("linux", linux, ["rckrv48", "rck_empty", "rck_machine_file_timing"])
        for arch in win:
            if shutil.which("i686-w64-mingw32-g++" if arch == "win32" else "x86_64-w64-mingw32-g++"):
                build(arch, win[arch], ["rckrv48", "rck_empty", "rck_probe"])
    empty = os.path.join(linux, "tools", "rck_empty")
    timer = os.path.join(linux, "tools", "rck_machine_file_timing")

    rows = []  # measure, value, detail, target, met

    # The shipped exe's row is the one the build's check compares with the
    # docs (tools/check_exe.py --size-quoted-in).
    for arch, label, limit in (("win32", check_exe.SHIPPED_SIZE_ROW, check_exe.SIZE_LIMIT),
                               ("win64", "Size of rckrv48.exe, x86_64", None)):
        exe = os.path.join(ROOT, win[arch], "cli", "rckrv48.exe")
        if not os.path.exists(exe):
            rows.append((label, "not built", win[arch], "", ""))
            continue
        size = os.path.getsize(exe)
        target = ("<= " + number(limit) + " B", met(size <= limit)) if limit else ("", "")
        rows.append((label, number(size) + " B", win[arch]) + target)

    print("counting instructions ...", file=sys.stderr)
    base, _, _ = callgrind([os.path.join(ROOT, empty)])
    rows.append(("Instructions, empty program", number(base), "starts and exits", "", ""))
    exe = os.path.join(ROOT, linux, "cli", "rckrv48")
    with tempfile.TemporaryDirectory() as tmp:
        machine = os.path.join(tmp, "machine.txt")
        for name, args, expected in COMMANDS:
            # A fresh copy of the default machine, so every command finds it
            # as it is shipped and the run saves its changes as in use.
            shutil.copy(os.path.join(ROOT, "simwin", "default.machine"), machine)
            env = dict(os.environ, RCKRV48_MACHINE=machine)
            total, own, code = callgrind([exe] + args, env)
            detail = "%s total, %s beyond empty" % (number(total), number(total - base))
            if code != expected:
                detail += "; exit code %d, not %d" % (code, expected)
            rows.append(("Instructions, command " + name, number(own) + " own", detail,
                         "< " + number(OWN_INSTRUCTIONS_LIMIT) + " own",
                         met(own < OWN_INSTRUCTIONS_LIMIT and code == expected)))

    print("timing machine files ...", file=sys.stderr)
    out = subprocess.run([os.path.join(ROOT, timer)] + [str(k) for k in KEY_COUNTS],
                         stdout=subprocess.PIPE, text=True, check=True).stdout
    times = {}
    for requested, line in zip(KEY_COUNTS, out.splitlines()):
        f = dict(kv.split("=") for kv in line.split())
        load, save = float(f["load"]), float(f["save"])
        times[requested] = (load, save)
        rows.append(("Machine file, %s keys" % number(requested),
                     "load %.1f ms, save %.1f ms" % (load * 1000, save * 1000),
                     "%s keys, %s bytes" % (number(int(f["keys"])), number(int(f["bytes"]))),
                     "< %g ms each" % (TIME_LIMIT * 1000),
                     met(load < TIME_LIMIT and save < TIME_LIMIT)))
    small, large = KEY_COUNTS[-2], KEY_COUNTS[-1]
    ratios = [max(times[large][i], 1e-9) / max(times[small][i], 1e-9) for i in (0, 1)]
    exponents = [math.log(r) / math.log(large / small) for r in ratios]
    rows.append(("Growth, %s to %s keys" % (number(small), number(large)),
                 "load x%.1f, save x%.1f" % tuple(ratios),
                 "exponent %.2f and %.2f (1 is linear)" % tuple(exponents),
                 "exponent <= %g" % GROWTH_LIMIT, met(max(exponents) <= GROWTH_LIMIT)))

    if not opts.no_wine:
        rows += wine_rows(linux, win)

    print(run_line())
    print()
    header = ("Measure", "Value", "Detail", "Target", "Met")
    widths = [max(len(str(r[i])) for r in rows + [header]) for i in range(5)]
    line = lambda r: "| " + " | ".join(str(c).ljust(w) for c, w in zip(r, widths)) + " |"
    print(line(header))
    print("|" + "|".join("-" * (w + 2) for w in widths) + "|")
    for r in rows:
        print(line(r))
    missed = [r[0] for r in rows if r[4] == "NO"]
    if missed:
        print("\nTargets missed: " + "; ".join(missed))
    return 1 if missed and opts.strict else 0


if __name__ == "__main__":
    sys.exit(main())
