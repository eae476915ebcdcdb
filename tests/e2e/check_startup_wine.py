#!/usr/bin/env python3
"""Checks the Windows start-up under Wine: its command-line splitting and
the memory functions it supplies in place of a C runtime.

Usage: check_startup_wine.py --probe rck_probe.exe [--prefix DIR]

rck_probe.exe carries the program's own start-up. It is started with exact
command lines (through CreateProcessA, from the probe itself), and for each
it prints the argument vector its start-up made and the vectors that Wine's
msvcrt and ucrtbase make of the same line; all three must agree. The lines
are the documented examples, quoting corner cases and random arguments of
blanks, quotes, backslashes and letters after a program name. Then the probe
is started from Linux with argument lists, as the scenario runner starts the
program, and must receive exactly those arguments.

Wine's runtimes split the program name (argument 0) by the rules of the
other arguments, while the Microsoft C runtime gives it a simpler rule of
its own: quotes only switch blanks off and on, backslashes stay as they are.
The two differ only on names with a quote inside or a backslash before a
quote, which no real program path has; the program's start-up follows the
Microsoft rule (tested on Linux), and the lines here use program names on
which both rules agree.

Exit code 0 when all agree, 1 otherwise, 77 when Wine is missing.
"""

import argparse
import os
import random
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import wine as wn  # noqa: E402

SKIPPED = 77

FIXED_LINES = [
    r'p "abc" d e',
    r'p a\\b d"e f"g h',
    r'p a\\\"b c d',
    r'p a\\\\"b c" d e',
    r'p a"b"" c d',
    r'p "" "" x',
    r'p """"',
    r'p """ a',
    r'p "a""b" c',
    r'p "a\\" b',
    r'p \\\\\"a',
    r'p a\ b\\ c\\\ ',
    'p \t a\t\t"b\tc"\t',
    r'"C:\Program Files\rckrv48.exe" V',
    r'C:\tools\rckrv48.exe V',
    r'a""b c',
    r'"" V',
    r' V',
    '\tV W',
    r'p "',
    r'p \"',
    'p \xe9t\xe9 "\xff"',
]

ALPHABET = ["a", "b", " ", "\t", "\\", "\\", '"', '"']
PROGRAM_NAMES = ["p", "rckrv48", r"C:\tools\rckrv48.exe", r'"C:\Program Files\rck\rckrv48.exe"',
                 r'"C:\x"y"a b"\z.exe']

# Argument lists as the scenario runner hands them to wine64.
ARGUMENT_LISTS = [
    ["V"],
    [""],
    ["H", ""],
    ["a b", 'c"d', "e\\", '\\"', "\t", "x\\\\", '""', "f g\\"],
    ["K", "2", "abcde", "0x0102030405", "", 'a"b\\ c d e fg'],
]


def random_lines(count, seed=6):
    rng = random.Random(seed)
    lines = []
    while len(lines) < count:
        tail = "".join(rng.choice(ALPHABET) for _ in range(rng.randint(0, 14)))
        lines.append(rng.choice(PROGRAM_NAMES) + rng.choice([" ", "\t", "  "]) + tail)
    return lines


def parse_vectors(text):
    """{line: {name: [arguments]}} from the probe's spawn output."""
    results = {}
    current = None
    for raw in text.split("\n"):
        if not raw:
            continue
        fields = raw.split("\t")
        head = fields[0]
        if head.startswith("line "):
            current = bytes.fromhex(head[5:]).decode("latin-1")
            results[current] = {}
        elif current is not None and head in ("own", "msvcrt", "ucrt"):
            results[current][head] = [bytes.fromhex(f).decode("latin-1") for f in fields[1:]]
        elif current is not None:
            results[current][head] = None
    return results


def spawn_lines(wine, probe, lines):
    proc = wine.run(probe, ["spawn"], stdin="\n".join(lines).encode("latin-1") + b"\n",
                    timeout=600)
    return parse_vectors(proc.stdout.decode("latin-1"))


def check_lines(wine, probe, lines):
    results = spawn_lines(wine, probe, lines)
    # Under a loaded machine a spawned child has once been seen to give no
    # answer at all; ask again for those lines before calling it a failure.
    unanswered = [l for l in lines if "own" not in (results.get(l) or {})]
    if unanswered:
        print("asking again for %d unanswered lines" % len(unanswered))
        results.update(spawn_lines(wine, probe, unanswered))
    problems = []
    for line in lines:
        vectors = results.get(line)
        if vectors is None or "own" not in vectors:
            problems.append("%r: no answer from the probe" % line)
            continue
        for crt in ("msvcrt", "ucrt"):
            if vectors.get(crt) is None:
                problems.append("%r: %s not available" % (line, crt))
            elif vectors[crt] != vectors["own"]:
                problems.append("%r: own %r, %s %r" % (line, vectors["own"], crt, vectors[crt]))
    return problems


def check_argument_lists(wine, probe):
    problems = []
    for args in ARGUMENT_LISTS:
        proc = wine.run(probe, args, env={"RCK_PROBE_ARGV": "1"})
        vectors = parse_vectors("line \n" + proc.stdout.decode("latin-1"))[""]
        own = vectors.get("own", [None])[1:]
        if own != args:
            problems.append("started with %r, the start-up made %r" % (args, own))
    return problems


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--probe", required=True)
    parser.add_argument("--prefix", help="use this Wine prefix instead of a fresh one")
    parser.add_argument("--random", type=int, default=200, help="number of random lines")
    args = parser.parse_args()
    if not wn.available():
        return wn.require_or_skip(SKIPPED)
    probe = os.path.abspath(args.probe)
    lines = FIXED_LINES + random_lines(args.random)
    with wn.Wine(args.prefix) as wine:
        problems = check_lines(wine, probe, lines) + check_argument_lists(wine, probe)
        memory = wine.run(probe, ["memory"])
        if memory.returncode != 0:
            problems.append("memory functions: %s" % memory.stdout.decode("latin-1").strip())
    for p in problems:
        print("FAIL %s" % p)
    print("%d command lines and %d argument lists under Wine, %d disagreements" %
          (len(lines), len(ARGUMENT_LISTS), len(problems)))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
