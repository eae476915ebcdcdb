#!/usr/bin/env python3
"""The Linux executable's machine file handling, as a user meets it.

A machine file that cannot be read or parsed stops the program before it
does anything, with one line on standard error naming the file and line and
exit code 120, and the file is left as it was. Without RCKRV48_MACHINE the
built-in default machine is used and nothing is written anywhere.
"""

import argparse
import os
import subprocess
import sys
import tempfile

MACHINE_ERROR = 120


def run(exe, args, machine=None, cwd=None):
    env = dict(os.environ)
    env.pop("RCKRV48_MACHINE", None)
    if machine is not None:
        env["RCKRV48_MACHINE"] = machine
    return subprocess.run([exe] + args, env=env, cwd=cwd, stdin=subprocess.DEVNULL,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--exe", required=True)
    parser.add_argument("--default-machine", required=True)
    a = parser.parse_args()
    exe = os.path.abspath(a.exe)
    failures = []

    def check(cond, what):
        if not cond:
            failures.append(what)

    with tempfile.TemporaryDirectory() as work:
        # A missing file.
        missing = os.path.join(work, "missing.txt")
        p = run(exe, ["V"], missing)
        check(p.returncode == MACHINE_ERROR, "missing file: exit %d" % p.returncode)
        check(p.stdout == b"", "missing file: the command ran anyway")
        lines = p.stderr.decode().splitlines()
        check(len(lines) == 1 and missing in lines[0], "missing file: message %r" % p.stderr)
        check(not os.path.exists(missing), "missing file: a machine was created")

        # Damaged files: the message names the file and the line; the file stays.
        cases = [
            ("not a machine\n", "line 1"),
            ("RCKRV48 MACHINE 1\n[Windows]\nPlatformId=two\nREGEDIT4\n", "line 3"),
            ("RCKRV48 MACHINE 1\n[Windows]\n\nREGEDIT4\n\n[HKEY_LOCAL_MACHINE\\A]\n"
             "\"x\"=dword:zz\n", "line 7"),
            ("RCKRV48 MACHINE 1\n[Device PcCard0-0]\nColour=blue\nREGEDIT4\n", "line 3"),
        ]
        for text, where in cases:
            path = os.path.join(work, "damaged.txt")
            with open(path, "w") as f:
                f.write(text)
            p = run(exe, ["K", "2", "", "", "", ""], path)
            msg = p.stderr.decode()
            check(p.returncode == MACHINE_ERROR, "%r: exit %d" % (text, p.returncode))
            check(msg.count("\n") == 1 and path in msg and where in msg,
                  "%r: message %r, expected to name %s" % (text, msg, where))
            with open(path) as f:
                check(f.read() == text, "%r: the file was changed" % text)

        # No file named: the built-in machine, and nothing is saved anywhere.
        before = sorted(os.listdir(work))
        p = run(exe, ["H"], None, cwd=work)
        check(p.returncode == 0 and p.stdout == b"office-net", "default machine H: %r" % (p,))
        p = run(exe, ["K", "2", "", "", "", ""], None, cwd=work)
        check(p.returncode == 0, "default machine K: exit %d" % p.returncode)
        check(sorted(os.listdir(work)) == before, "default machine: files appeared")

        # A copy of the built-in machine behaves the same, and keeps changes.
        path = os.path.join(work, "copy.txt")
        with open(a.default_machine) as f, open(path, "w") as g:
            g.write(f.read())
        p = run(exe, ["K", "2", "", "", "", ""], path)
        check(p.returncode == 0, "copy K: exit %d" % p.returncode)
        with open(path) as f:
            saved = f.read()
        p = run(exe, ["V"], path)
        with open(path) as f:
            check(f.read() == saved, "a run that changes nothing rewrote the file")

    for f in failures:
        print("FAIL", f)
    print("%d failures" % len(failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
