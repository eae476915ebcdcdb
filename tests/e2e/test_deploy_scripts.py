#!/usr/bin/env python3
"""The deployment scripts shipped beside the program: both are ASCII with
CR LF line ends; SETKEY.BAT keeps to what COMMAND.COM of Windows 95 and 98
knows, holds no line longer than COMMAND.COM reads, tests ERRORLEVEL from
the highest code down, and for every level the program can leave prints the
line SETKEY.VBS prints for that exit code and leaves the level as it was.

Usage: test_deploy_scripts.py SETKEY.BAT SETKEY.VBS
Prints what is wrong; exit code 1 when anything is.
"""

import re
import sys

# cmd.exe's additions that COMMAND.COM does not know, and characters that
# chain, group or redirect commands in one of the two.
FORBIDDEN = [
    (r"%ERRORLEVEL%", "%ERRORLEVEL%"),
    (r"\b(EQU|NEQ|LSS|LEQ|GTR|GEQ)\b", "a comparison word of cmd"),
    (r"\bIF\s+/I\b", "IF /I"),
    (r"\b(SETLOCAL|ENDLOCAL)\b", "SETLOCAL"),
    (r"\bGOTO\s*:EOF\b", "GOTO :EOF"),
    (r"\bEXIT\b", "EXIT"),
    (r"\bCALL\s*:", "CALL of a label"),
    (r"%~", "%~ (path parts of an argument)"),
    (r"&", "& (&& chains commands)"),
    (r"\|", "| (|| chains commands)"),
    (r"[()]", "a parenthesis (blocks)"),
]
# COMMAND.COM reads redirections in REM lines too.
FORBIDDEN_IN_REM = [(r"[<>|]", "a redirection character")]

# COMMAND.COM cuts a batch line after its first 127 bytes, without a word,
# before it reads the line (Microsoft KB Q69563, "Maximum Line Length and
# Count for Batch Files & CONFIG.SYS").
BAT_LINE_LIMIT = 127

PROGRAM = re.compile(r"^RCKRV48(\.EXE)?\s+W(\s+%[12])*$", re.I)
LABEL = re.compile(r"^:([A-Z0-9_]+)$", re.I)
IF_LEVEL = re.compile(r"^IF\s+(NOT\s+)?ERRORLEVEL\s+(\d+)\s+GOTO\s+(\w+)$", re.I)
IF_ARG = re.compile(r'^IF\s+(NOT\s+)?"%([1-9])"==""\s+GOTO\s+(\w+)$', re.I)
GOTO = re.compile(r"^GOTO\s+(\w+)$", re.I)
ECHO = re.compile(r"^ECHO\s(.*)$", re.I)

# Levels to play: those of COMMAND.COM, and a negative one that cmd.exe
# gives a program that crashed.
LEVELS = list(range(256)) + [-1073741819]


def text_lines(path, problems):
    """The file's lines, after checking it is ASCII with CR LF line ends."""
    with open(path, "rb") as f:
        data = f.read()
    name = path.rsplit("/", 1)[-1]
    try:
        text = data.decode("ascii")
    except UnicodeDecodeError as e:
        problems.append("%s: byte %d is not ASCII" % (name, e.start))
        text = data.decode("latin-1")
    if re.search(r"\r(?!\n)|(?<!\r)\n", text) or not text.endswith("\r\n"):
        problems.append("%s: a line end that is not CR LF" % name)
    return text.replace("\r\n", "\n").rstrip("\n").split("\n")


def check_bat_lines(lines, problems):
    """Every line is one COMMAND.COM knows and reads whole, labels are 8
    characters at most (COMMAND.COM reads no more), jumps lead to labels."""
    labels = {}
    for number, line in enumerate(lines, 1):
        m = LABEL.match(line)
        if m:
            name = m.group(1).upper()
            if len(name) > 8 or name in labels:
                problems.append("SETKEY.BAT:%d: label %s is longer than 8 characters or "
                                "not the only one of its name" % (number, name))
            labels[name] = number
    for number, line in enumerate(lines, 1):
        where = "SETKEY.BAT:%d" % number
        if len(line) > BAT_LINE_LIMIT:
            problems.append("%s: %d characters; COMMAND.COM reads only the first %d" %
                            (where, len(line), BAT_LINE_LIMIT))
        if re.match(r"^REM(\s|$)", line, re.I):
            for pattern, what in FORBIDDEN_IN_REM:
                if re.search(pattern, line):
                    problems.append("%s: %s" % (where, what))
            continue
        for pattern, what in FORBIDDEN:
            if re.search(pattern, line, re.I):
                problems.append("%s: %s, which COMMAND.COM does not know" % (where, what))
        known = (line == "" or (number == 1 and line.upper() == "@ECHO OFF") or
                 LABEL.match(line) or PROGRAM.match(line) or ECHO.match(line))
        for pattern in (IF_LEVEL, IF_ARG, GOTO):
            m = pattern.match(line)
            if m:
                known = True
                if m.groups()[-1].upper() not in labels:
                    problems.append("%s: no label %s" % (where, m.groups()[-1]))
        if not known:
            problems.append("%s: %r is not one of the lines this script may hold" %
                            (where, line))
    if lines[:1] != ["@ECHO OFF"]:
        problems.append("SETKEY.BAT: the first line must be @ECHO OFF")
    return labels


def check_level_order(lines, problems):
    """After each run of the program, IF ERRORLEVEL n from the highest n
    down (n means "n or more"); IF NOT ERRORLEVEL 0 only after them."""
    previous = None
    for number, line in enumerate(lines, 1):
        if PROGRAM.match(line):
            previous = 256
            continue
        m = IF_LEVEL.match(line)
        if not m:
            continue
        n = int(m.group(2))
        if previous is None:
            problems.append("SETKEY.BAT:%d: ERRORLEVEL tested before the program ran" % number)
        elif m.group(1):
            if n != 0 or previous != 1:
                problems.append("SETKEY.BAT:%d: IF NOT ERRORLEVEL belongs after "
                                "IF ERRORLEVEL 1, with 0" % number)
            previous = -1
        elif n >= previous:
            problems.append("SETKEY.BAT:%d: ERRORLEVEL %d tested after %d: test the "
                            "highest level first" % (number, n, previous))
        else:
            previous = n


def play_bat(lines, labels, args, level):
    """Runs the batch file as COMMAND.COM would, with the program leaving
    `level` when given a key; returns (printed lines, level at the end)."""
    printed = []
    errorlevel = 0
    pc = 0
    for _ in range(10000):
        if pc >= len(lines):
            return printed, errorlevel
        line = lines[pc]
        pc += 1
        m = IF_LEVEL.match(line)
        if m:
            if (errorlevel >= int(m.group(2))) != bool(m.group(1)):
                pc = labels[m.group(3).upper()]
            continue
        m = IF_ARG.match(line)
        if m:
            given = int(m.group(2)) <= len(args)
            if given == bool(m.group(1)):
                pc = labels[m.group(3).upper()]
            continue
        m = GOTO.match(line)
        if m:
            pc = labels[m.group(1).upper()]
            continue
        m = ECHO.match(line)
        if m:
            printed.append(m.group(1))
            continue
        if PROGRAM.match(line):
            given = [a for a in re.findall(r"%([12])", line) if int(a) <= len(args)]
            # Without a key, W is a malformed command line.
            errorlevel = level if given and given[0] == "1" else 4
    raise AssertionError("SETKEY.BAT does not end")


def vbs_lines(lines, problems):
    """{exit code or None for any other: the line SETKEY.VBS prints}."""
    said = {}
    case = False
    for line in lines:
        s = line.strip()
        m = re.match(r"^Case\s+(\d+|Else)$", s, re.I)
        if m:
            case = None if m.group(1).lower() == "else" else int(m.group(1))
            continue
        m = re.match(r'^WScript\.Echo\s+"([^"]*)"$', s)
        if m and case is not False:
            said[case] = m.group(1)
            case = False
    if sorted(k for k in said if k is not None) != [0, 2, 3, 4, 5, 6] or None not in said:
        problems.append("SETKEY.VBS: no Case with a line for each of 0, 2 to 6 and Else: %r" %
                        said)
    return said


def main(argv):
    if len(argv) != 3:
        print(__doc__)
        return 2
    problems = []
    bat = text_lines(argv[1], problems)
    vbs = text_lines(argv[2], problems)
    labels = check_bat_lines(bat, problems)
    check_level_order(bat, problems)
    said = vbs_lines(vbs, problems)
    if not problems:
        for level in LEVELS:
            printed, left = play_bat(bat, labels, ["1a2b3"], level)
            expected = said.get(level, said[None])
            if printed != [expected] or left != level:
                problems.append("SETKEY.BAT with the program leaving %d prints %r and leaves "
                                "%d; SETKEY.VBS prints %r" % (level, printed, left, expected))
        printed, left = play_bat(bat, labels, [], 0)
        if not printed or not printed[0].startswith("Usage:") or left != 4:
            problems.append("SETKEY.BAT without a key prints %r and leaves %d, not its usage "
                            "and 4" % (printed, left))
    for p in problems:
        print(p)
    print("deployment scripts: %s" % ("%d problems" % len(problems) if problems else "ok"))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
