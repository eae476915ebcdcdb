#!/usr/bin/env python3
"""Checks the Windows start-up under Wine: its command-line splitting and
the memory functions it supplies in place of a C runtime.

Usage: check_startup_wine.py --probe rck_probe.exe [--prefix DIR] [--code-page 1252|932]

rck_probe.exe carries the program's own start-up. It is started with exact
command lines (through CreateProcessA, from the probe itself), and for each
it prints the argument vector its start-up made and the vector that Wine's
msvcrt.dll makes of the same line. This runs twice: on code page 1252 and,
with a Japanese locale, on the double-byte code page 932, where the lines
hold characters whose second byte is a backslash. The lines are the
documented examples, quoting corner cases and random arguments of blanks,
quotes, backslashes and letters after a program name. Then the probe is
started from Linux with argument lists, as the scenario runner starts the
program, and must receive exactly those arguments.

The start-up splits by the rules of the msvcrt.dll of Windows 95 to 2000
(runtime/cmdline.h). Wine's msvcrt.dll agrees with them on blanks, quotes
and backslashes; it splits the wide command line, with no lead-byte rule, so
a double-byte character is one character there and its results agree on
those too. It follows later runtimes in two places: a pair of quotes inside a quoted part gives a quote and stays
quoted, and the program name is split by the rules of the other arguments.
So every line is also split here by both rule sets (era_split and
later_split): where they agree the start-up must give what msvcrt.dll
gives, and where they part the start-up must give era_split's vector and
msvcrt.dll later_split's, which shows that those two places are the only
ones where the start-up and Wine's runtime differ.

Exit code 0 when all agree, 1 otherwise, 77 when Wine is missing.
"""

import argparse
import os
import random
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import wine as wn  # noqa: E402


FIXED_LINES = [
    r'p "a b c" d e',
    r'p "ab\"c" "\\" d',
    r'p "abc" d e',
    r'p a\\b d"e f"g h',
    r'p a\\\"b c d',
    r'p a\\\\"b c" d e',
    r'p a"b"" c d',
    r'p "" "" x',
    r'p """"',
    r'p """ a',
    r'p "a""b" c',
    r'p "a""b""c"',
    r'p """""" x',
    r'p "a\\" b',
    r'p \\\\\"a',
    r'p a\ b\\ c\\\ ',
    'p \t a\t\t"b\tc"\t',
    r'"C:\Program Files\rckrv48.exe" V',
    r'C:\tools\rckrv48.exe V',
    r'"rckrv48"V',
    r'a""b c',
    r'"" V',
    r' V',
    '\tV W',
    r'p "',
    r'p \"',
]
# Single-byte characters of code page 1252 above 0x7F.
FIXED_LINES_1252 = ['p \xe9t\xe9 "\xff"', 'p "ab \x95\x5c" x']
# Code page 932: 95 5C and 83 5C end in a backslash byte, 82 A0 does not.
FIXED_LINES_932 = [
    'p "ab \x95\x5c" x',
    'p \x95\x5c"a b"',
    'p \x95\x5c\x5c"a',
    'p "\x95\x5c""',
    '"C:\\\x83\x5c" V',
    'p \x82\xa0\x95\x5c\\"x y"',
]

ALPHABET = ["a", "b", " ", "\t", "\\", "\\", '"', '"']
ALPHABET_932 = ALPHABET + ["\x95\x5c", "\x83\x5c", "\x82\xa0"]
PROGRAM_NAMES = ["p", "rckrv48", r"C:\tools\rckrv48.exe", r'"C:\Program Files\rck\rckrv48.exe"',
                 r'"C:\x"y"a b"\z.exe', r'"rckrv48"', r'a"b']
SEPARATORS = ["", " ", "\t", "  "]

# Argument lists as the scenario runner hands them to wine64; on code page
# 932 the arguments reach the program in that code page.
ARGUMENT_LISTS = [
    ["V"],
    [""],
    ["H", ""],
    ["a b", 'c"d', "e\\", '\\"', "\t", "x\\\\", '""', "f g\\"],
    ["K", "2", "abcde", "0x0102030405", "", 'a"b\\ c d e fg'],
]
ARGUMENT_LISTS_932 = [["K", "2", "ab \u8868", "\u8868\\", "\u30bd x\\"]]


def _characters(text, code_page):
    """The line's characters: a lead byte and the byte after it are one."""
    leads = set(range(0x81, 0xA0)) | set(range(0xE0, 0xFD)) if code_page == 932 else set()
    chars = []
    i = 0
    while i < len(text):
        n = 2 if ord(text[i]) in leads and i + 1 < len(text) else 1
        chars.append(text[i:i + n])
        i += n
    return chars


def _split_arguments(chars, i, args, pair_ends_quote):
    """Splits chars[i:] into arguments after the program name."""
    while True:
        while i < len(chars) and chars[i] in " \t":
            i += 1
        if i == len(chars):
            return args
        arg, quoted = "", False
        while True:
            slashes = 0
            while i < len(chars) and chars[i] == "\\":
                slashes, i = slashes + 1, i + 1
            if i < len(chars) and chars[i] == '"':
                arg += "\\" * (slashes // 2)
                if slashes % 2:
                    arg, i = arg + '"', i + 1
                elif quoted and i + 1 < len(chars) and chars[i + 1] == '"':
                    arg, i = arg + '"', i + 2
                    quoted = not pair_ends_quote
                else:
                    quoted, i = not quoted, i + 1
                continue
            arg += "\\" * slashes
            if i == len(chars) or (not quoted and chars[i] in " \t"):
                break
            arg, i = arg + chars[i], i + 1
        args.append(arg)


def era_split(line, code_page):
    """The rules of the msvcrt.dll of Windows 95 to 2000."""
    chars = _characters(line, code_page)
    i, name = 0, ""
    if chars and chars[0] == '"':
        i = 1
        while i < len(chars) and chars[i] != '"':
            name, i = name + chars[i], i + 1
        i += 1 if i < len(chars) else 0
    else:
        while i < len(chars) and chars[i] not in " \t":
            name, i = name + chars[i], i + 1
    return _split_arguments(chars, i, [name], pair_ends_quote=True)


def later_split(line, code_page):
    """The rules of Wine's msvcrt.dll: those of later runtimes for a pair of
    quotes, and the program name split like the other arguments."""
    chars = _characters(line, code_page)
    if not chars or chars[0] in " \t":
        return _split_arguments(chars, 0, [""], pair_ends_quote=False)
    return _split_arguments(chars, 0, [], pair_ends_quote=False)


def random_lines(count, alphabet, seed=6):
    rng = random.Random(seed)
    lines = []
    while len(lines) < count:
        tail = "".join(rng.choice(alphabet) for _ in range(rng.randint(0, 14)))
        lines.append(rng.choice(PROGRAM_NAMES) + rng.choice(SEPARATORS) + tail)
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
        elif current is not None and head == "exit":
            results[current][head] = fields[1]
        elif current is not None:
            results[current][head] = None
    return results


def check_lines(wine, probe, lines, code_page):
    """Problems found, and the number of lines on which the two rule sets part."""
    proc = wine.run(probe, ["spawn"], stdin="\n".join(lines).encode("latin-1") + b"\n",
                    env={"LC_ALL": wn.LOCALES[code_page]}, timeout=600)
    results = parse_vectors(proc.stdout.decode("latin-1"))
    problems = []
    parted = 0
    for line in lines:
        where = "code page %d, %r" % (code_page, line)
        vectors = results.get(line)
        if vectors is None or "own" not in vectors:
            problems.append("%s: no answer from the probe (exit code %s)" %
                            (where, (vectors or {}).get("exit", "unknown")))
            continue
        if vectors.get("msvcrt") is None:
            problems.append("%s: msvcrt not available" % where)
            continue
        era, later = era_split(line, code_page), later_split(line, code_page)
        if era == later:
            if vectors["own"] != vectors["msvcrt"]:
                problems.append("%s: own %r, msvcrt %r" % (where, vectors["own"], vectors["msvcrt"]))
            continue
        parted += 1
        if vectors["own"] != era:
            problems.append("%s: own %r, the older rules %r" % (where, vectors["own"], era))
        if vectors["msvcrt"] != later:
            problems.append("%s: msvcrt %r, where the later rules give %r" %
                            (where, vectors["msvcrt"], later))
    return problems, parted


def check_argument_lists(wine, probe, lists, code_page):
    problems = []
    for args in lists:
        proc = wine.run(probe, args, env={"RCK_PROBE_ARGV": "1", "LC_ALL": wn.LOCALES[code_page]})
        vectors = parse_vectors("line \n" + proc.stdout.decode("latin-1"))[""]
        own = vectors.get("own", [None])[1:]
        expected = [a.encode("cp%d" % code_page).decode("latin-1") for a in args]
        if own != expected:
            problems.append("code page %d: started with %r, the start-up made %r" %
                            (code_page, args, own))
    return problems


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--probe", required=True)
    parser.add_argument("--prefix", help="use this Wine prefix instead of a fresh one")
    parser.add_argument("--random", type=int, default=150,
                        help="number of random lines on each code page")
    parser.add_argument("--code-page", type=int, action="append", choices=(1252, 932),
                        help="check only this code page (both without it)")
    args = parser.parse_args()
    if not wn.available():
        return wn.require_or_skip()
    probe = os.path.abspath(args.probe)
    runs = [
        (1252, FIXED_LINES + FIXED_LINES_1252 + random_lines(args.random, ALPHABET), ARGUMENT_LISTS),
        (932, FIXED_LINES + FIXED_LINES_932 + random_lines(args.random, ALPHABET_932, seed=9),
         ARGUMENT_LISTS + ARGUMENT_LISTS_932),
    ]
    runs = [run for run in runs if not args.code_page or run[0] in args.code_page]
    problems = []
    with wn.Wine(args.prefix) as wine:
        for code_page, lines, lists in runs:
            found, parted = check_lines(wine, probe, lines, code_page)
            found += check_argument_lists(wine, probe, lists, code_page)
            print("code page %d: %d command lines (%d where the older and later rules part), "
                  "%d argument lists, %d disagreements" %
                  (code_page, len(lines), parted, len(lists), len(found)))
            problems += found
        memory = wine.run(probe, ["memory"])
        if memory.returncode != 0:
            problems.append("memory functions: %s" % memory.stdout.decode("latin-1").strip())
    for p in problems:
        print("FAIL %s" % p)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
