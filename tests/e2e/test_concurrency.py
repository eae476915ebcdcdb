#!/usr/bin/env python3
"""Many runs of K, E and W at once against one machine file.

Usage: test_concurrency.py --exe PATH [--rounds N]

Every round starts, all at the same time, runs whose results can be told
apart: E to the adapter key and to profiles 2 and 3 with texts of their own,
K to profile 1 with a key of its own, three W with different keys to profile
4, and two H readers. Every run holds the machine file's lock from loading to
saving, so after the round each value must be the one its writer gave (for
the three W: one of them, the same one the card driver received last), the
card driver must have received every key text record sent so far, and no
DOS device name or temporary file may be left. Meanwhile a reader that takes
no lock reads the file over and over: it must always find a whole machine
file, never a half-written one.
"""

import argparse
import os
import subprocess
import sys
import tempfile
import threading

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import scenario as sc  # noqa: E402

ADAPTER = ("System\\CurrentControlSet\\Control\\Class\\"
           "{4D36E972-E325-11CE-BFC1-08002BE10318}\\0007")
ENUM_KEY = ("System\\CurrentControlSet\\Enum\\PCMCIA\\"
            "KESTRAN_INSTRUMENTS-AIRLOOM/IEEE-4E21\\1")
W_PER_ROUND = 3


def quoted(text):
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


def key_text(*args):
    """A key record text, made by the program's own key record library."""
    return sc.key_text(args, "test_concurrency.py")


def machine_text():
    # The default key record everywhere: W keeps its other fields.
    record = key_text()
    lines = ["[HKEY_LOCAL_MACHINE\\%s]" % ENUM_KEY, '"Driver"=%s' % quoted(ADAPTER.split("Class\\")[1]),
             "", "[HKEY_LOCAL_MACHINE\\%s]" % ADAPTER, '"VendorDescription"="CORVANE PC Card"',
             '"DriverVariant"="1"', '"DriverMajor"="6"', '"DriverMinor"="14"',
             # No profile is active: every write lands in exactly one place.
             '"ConfigType"="0"', '"Encryption"=%s' % quoted(record)]
    for p in range(1, 5):
        lines += ["", "[HKEY_LOCAL_MACHINE\\%s\\Config%02d]" % (ADAPTER, p),
                  '"ConfigName"="Profile %d"' % p, '"DesiredSSID"="net-%d"' % p,
                  '"Encryption"=%s' % quoted(record)]
    return sc.machine_text("win2000", ["[Device PcCard0-0]"], lines)


class Reader(threading.Thread):
    """Reads the machine file without its lock until stopped."""

    def __init__(self, path):
        super().__init__()
        self.path = path
        self.stop = threading.Event()
        self.reads = 0
        self.problems = []

    def run(self):
        while not self.stop.is_set() and not self.problems:
            with open(self.path, encoding="latin-1") as f:
                text = f.read()
            self.reads += 1
            if not text.startswith("RCKRV48 MACHINE 1\n") or "\nREGEDIT4\n" not in text:
                self.problems.append("damaged machine file: %r" % text[:200])
                continue
            try:
                keys, _, _ = sc.parse_regedit(text.split("\nREGEDIT4\n", 1)[1].split("\n"))
            except sc.ScenarioError as e:
                self.problems.append("registry does not parse: %s" % e)
                continue
            for key, values in keys.values():
                v = values.get("encryption")
                if v is not None and (v[1] != sc.REG_SZ or len(v[2]) != 103):
                    self.problems.append("damaged Encryption under %s" % key)


def encryption(keys, path):
    key = keys.get(("HKEY_LOCAL_MACHINE\\" + path).lower())
    if key is None or "encryption" not in key[1]:
        return None
    return key[1]["encryption"][2].rstrip(b"\0").decode("latin-1")


def check_round(path, workdir, r, texts, k_key, w_keys, pushed):
    problems = []
    with open(path, encoding="latin-1") as f:
        saved = f.read()
    keys, _, _ = sc.parse_regedit(saved.split("\nREGEDIT4\n", 1)[1].split("\n"))
    for profile, text in texts.items():
        where = ADAPTER if profile == 0 else "%s\\Config%02d" % (ADAPTER, profile)
        if encryption(keys, where) != text:
            problems.append("round %d: E to profile %d lost" % (r, profile))
    if encryption(keys, ADAPTER + "\\Config01") != key_text("--default", "2", k_key):
        problems.append("round %d: K to profile 1 lost" % r)
    stored = encryption(keys, ADAPTER + "\\Config04")
    if stored not in [key_text(w) for w in w_keys]:
        problems.append("round %d: profile 4 holds %r, not the record of one of %s" %
                        (r, stored, w_keys))
        stored = None
    sections = sc.machine_sections(saved)
    received = [l.split("=", 1)[1] for l in sections.get("device pccard0-0", [])
                if l.startswith("KeyText=")]
    if len(received) != pushed:
        problems.append("round %d: the driver received %d key texts, %d were sent"
                        % (r, len(received), pushed))
    elif stored is not None and received[-1] != stored:
        problems.append("round %d: the last key pushed is not the one stored" % r)
    if any(l.startswith("DosNames=") and l != "DosNames=0"
           for l in sections.get("device pccard0-0", [])) or sections.get("dosdevices"):
        problems.append("round %d: DOS device names left behind" % r)
    leftovers = sorted(set(os.listdir(workdir)) - {"machine.txt", "machine.txt.lock"})
    if leftovers:
        problems.append("round %d: files left beside the machine file: %s" % (r, leftovers))
    return problems


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--exe", required=True)
    ap.add_argument("--rounds", type=int, default=10)
    opts = ap.parse_args()

    problems = []
    with tempfile.TemporaryDirectory() as workdir:
        path = os.path.join(workdir, "machine.txt")
        with open(path, "w", encoding="latin-1") as f:
            f.write(machine_text())
        env = dict(os.environ, RCKRV48_MACHINE=path)
        reader = Reader(path)
        reader.start()
        pushed = 0
        runs = 0
        rounds = 0
        try:
            for r in range(opts.rounds):
                texts = {p: ("R%03dP%d" % (r, p) + "abcdefghij" * 11)[:102] for p in (0, 2, 3)}
                k_key = "k%04d" % r
                w_keys = ["%02x%03x" % (r, w) for w in range(W_PER_ROUND)]
                commands = [["E", texts[p], str(p)] for p in texts]
                commands.append(["K", "2", k_key, "", "", ""])
                commands += [["W", k, "4"] for k in w_keys]
                commands += [["H", "2"], ["H", "3"]]
                procs = [(c, subprocess.Popen([opts.exe] + c, env=env, stdin=subprocess.DEVNULL,
                                              stdout=subprocess.PIPE, stderr=subprocess.PIPE))
                         for c in commands]
                for c, p in procs:
                    out, err = p.communicate(timeout=120)
                    runs += 1
                    expected_out = {"H": ("net-%s" % c[1]).encode()}.get(c[0], b"")
                    if p.returncode != 0 or err or out != expected_out:
                        problems.append("round %d: %s gave %d, %r, %r"
                                        % (r, c[0], p.returncode, out, err))
                pushed += W_PER_ROUND
                problems += check_round(path, workdir, r, texts, k_key, w_keys, pushed)
                rounds += 1
                if problems:
                    break
        finally:
            reader.stop.set()
            reader.join()
        problems += reader.problems
        if reader.reads == 0:
            problems.append("the reader never read the file")

    for p in problems:
        print("FAIL: " + p)
    print("%d runs in %d rounds, %d unlocked reads of the machine file: %s"
          % (runs, rounds, reader.reads, "failed" if problems else "ok"))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
