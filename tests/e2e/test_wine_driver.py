#!/usr/bin/env python3
"""Self-check of the test card driver under Wine.

Usage: test_wine_driver.py --probe rck_probe.exe [--build DIR] [--exe rckrv48.exe]
                           [--prefix DIR] [unittest args]

Takes the driver and its client from DIR, where testdriver/build.sh or the
build's testdriver target made them (without --build, builds them into a
temporary folder), boots a fresh Wine prefix (or uses --prefix), installs the
driver and proves the round trip of every request kind from the client, the
settings that change the card's answers, the names the program finds, and
what the card writes back; the probe (of the prefix's bitness) sets and reads
the registry. With --exe (rckrv48.exe of the same build) it also checks the
scenario runner's verdicts with the driver (the runner plays the program's
W through the driver in every scenario with cards). Exit code 77 when Wine
is missing.
"""

import argparse
import os
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import scenario as sc  # noqa: E402
import wine as wn  # noqa: E402
import wine_driver as wd  # noqa: E402

OPTIONS = None
WINE = None
DRIVER = None
DRIVER_FILE = None
CLIENT = None


def setUpModule():
    global WINE, DRIVER, DRIVER_FILE, CLIENT
    paths = wd.built(OPTIONS.build) if OPTIONS.build else wd.build(OPTIONS.scratch)
    CLIENT = paths["client"]
    DRIVER_FILE = paths["driver"]
    WINE = wn.Wine(OPTIONS.prefix, OPTIONS.probe)
    WINE.start()
    DRIVER = wd.CardDriver(WINE, DRIVER_FILE)
    DRIVER.install()


def tearDownModule():
    if WINE is not None:
        if DRIVER is not None:
            DRIVER.remove()  # a prefix given with --prefix is shared
        WINE.stop()


def client(*steps, family="win2000"):
    """Runs the client's steps; returns its output lines."""
    WINE.reg_import(wn.family_lines(family))
    proc = WINE.run(CLIENT, [str(s) for s in steps])
    if proc.returncode != 0:
        raise AssertionError("cardclient %s: %r %r" % (steps, proc.returncode, proc.stderr))
    return proc.stdout.decode("latin-1").splitlines()


def request(status, context, record=None, ok=1, error=0):
    line = "request ok=%d error=%d status=%d context=0x%08X" % (ok, error, status, context)
    return line if record is None else line + " record=" + " ".join(str(w) for w in record)


# What W 1a2b3 sends the driver (FRESH_1a2b3 of the scenarios).
KEY_TEXT = sc.key_text(("1a2b3",), "test_wine_driver.py")


class Translation(unittest.TestCase):
    """Scenario device sections to the driver's values and back, without Wine."""

    def test_sections_the_simulated_machine_refuses_are_refused(self):
        for lines, message in [
                (["[Device PcCard0-0]", "Colour=blue"], "unknown setting Colour"),
                (["[Device PcCard0-0]", "Busy=08x"], "bad value of Busy"),
                (["[Device PcCard0-0]", "ProbeStatus=65536"], "bad value of ProbeStatus"),
                (["[Device PcCard0-0]", "Identity=5 0x10000"], "bad value of Identity"),
                (["[Device PcCard0-0]", "Busy"], "expected Name=Value"),
                (["[Device PcCard0-0]", "[device pccard0-0]"], "described twice")]:
            with self.subTest(lines=lines):
                with self.assertRaisesRegex(wd.CardDriverError, message):
                    wd.parse_cards(lines)

    def test_values_follow_the_machine_file_numbers(self):
        card = wd.parse_cards(["[Device RNKRV522]", "Busy=010", "Context=0x00C0FFEE",
                               "CloseStatus=silent", "Identity=3 0x0826 0 1", "KeyText=ab\\\"c",
                               "Control=128", "Control=4", "OpenHandles=3"])[0]
        self.assertEqual(card.registry_lines(), [
            "[%s\\RNKRV522]" % wd.PARAMETERS_KEY, '"Silent"=dword:00000040',
            '"Busy"=dword:0000000a', '"Context"=dword:00c0ffee',
            '"Identity"=hex:03,00,26,08,00,00,01,00', '"KeyText 1"="ab\\\\\\"c"',
            '"Control 1"=dword:00000080', '"Control 2"=dword:00000004'])

    def test_dos_device_names_beyond_the_drivers_links_cannot_be_made(self):
        self.assertIsNone(wd.unsupported(["[DosDevices]", "PcCard0-0=\\Device\\PcCard0-0"]))
        self.assertIsNone(wd.unsupported(["[Device Extra]", "[DosDevices]",
                                          "Extra=\\Device\\Extra"]))
        self.assertIn("PcCard0-0=\\Device\\PcCard1-0",
                      wd.unsupported(["[DosDevices]", "PcCard0-0=\\Device\\PcCard1-0"]))
        self.assertIn("Other", wd.unsupported(["[DosDevices]", "Other=\\Device\\Other"]))
        self.assertIsNotNone(wd.not_checkable("Device PcCard0-0", "DosNames=0"))
        self.assertIsNotNone(wd.not_checkable("DosDevices", "PcCard0-0=\\Device\\PcCard0-0"))
        self.assertIsNone(wd.not_checkable("Device PcCard0-0", "OpenHandles=0"))

    def test_key_texts_a_line_cannot_carry_are_shown_as_records(self):
        values = {}
        for name, vtype, data in [("Busy", sc.REG_DWORD, 0), ("ProbeStatus", sc.REG_DWORD, 0),
                                  ("Context", sc.REG_DWORD, 1),
                                  ("Identity", sc.REG_BINARY, b"\x01\x00\x26\x08"),
                                  ("Compatibility", sc.REG_BINARY, b""),
                                  ("Silent", sc.REG_DWORD, 0x40),
                                  ("KeyText 1", sc.REG_BINARY, b"a \x01\xff"),
                                  ("KeyText 2", sc.REG_SZ, b"ok\0")]:
            if vtype == sc.REG_DWORD:
                data = data.to_bytes(4, "little")
            values[name.lower()] = (name, vtype, data)
        for name in [n for n, _, _ in wd.SETTINGS.values()] + ["Probes", "Closes", "OpenHandles"]:
            values.setdefault(name.lower(), (name, sc.REG_DWORD, b"\0\0\0\0"))
        lines = wd.render_card("PcCard0-0", values)
        self.assertIn("Identity=1 0x0826", lines)
        self.assertIn("Compatibility=", lines)
        self.assertIn("CloseStatus=silent", lines)
        self.assertLess(lines.index("Put=3 0x0900 8289 65281"), lines.index("KeyText=ok"))


class RoundTrip(unittest.TestCase):
    def test_every_request_kind(self):
        DRIVER.configure(["[Device PcCard1-0]", "Busy=2", "Context=0xC0FFEE01"])
        ctx = 0xC0FFEE01
        out = client("open", "PcCard1-0", "probe", "probe", "probe", "get", 0x0826, 5, "get",
                     0x0827, 6, "puttext", 0x0900, KEY_TEXT, "put", 0x0123, 1, 2, 3, "control",
                     128, "close", "closehandle")
        self.assertEqual(out, [
            "open ok=1 error=0", request(68, 0), request(68, 0), request(0, ctx),
            request(0, ctx, [5, 0x0826, 0, 1, 6, 14]),
            request(0, ctx, [6, 0x0827, 0, 0, 48, 1, 99]), request(0, ctx), request(0, ctx),
            request(0, ctx), request(0, ctx), "closehandle ok=1 error=0"])
        card = DRIVER.machine_sections()["device pccard1-0"]
        for line in ["Busy=0", "Probes=3", "KeyText=" + KEY_TEXT, "Put=4 0x0123 1 2 3",
                     "Control=128", "Closes=1", "OpenHandles=0"]:
            self.assertIn(line, card)

    def test_requests_need_the_context_of_a_probe_on_the_same_handle(self):
        DRIVER.configure(["[Device PcCard0-0]"])
        out = client("open", "PcCard0-0", "control", 128, "probe", "close", "control", 128)
        self.assertEqual(out, ["open ok=1 error=0", request(67, 0), request(0, 0x00010001),
                               request(0, 0x00010001), request(67, 0x00010001)])
        out = client("open", "PcCard0-0", "get", 0x0826, 5)
        self.assertEqual(out[1].split(" record=")[0], request(67, 0))
        card = DRIVER.machine_sections()["device pccard0-0"]
        self.assertEqual([l for l in card if l.startswith("Control=")], [])
        self.assertIn("Closes=1", card)


class CardSettings(unittest.TestCase):
    def test_replies_as_configured(self):
        DRIVER.configure(["[Device PcCard0-0]", "Identity=3 0x0826 0 1",
                          "CompatibilityStatus=8", "Compatibility=9 0x0827 0 0 51 99 99 1 2 3",
                          "KeyTextStatus=9", "PutStatus=10", "ControlStatus=11",
                          "CloseStatus=silent"])
        c = 0x00010001
        out = client("open", "PcCard0-0", "probe", "get", 0x0826, 5, "get", 0x0827, 6,
                     "get", 0x0828, 2, "puttext", 0x0900, "ab", "put", 1, 2, "control", 12,
                     "close")
        self.assertEqual(out[2:], [
            request(0, c, [3, 0x0826, 0, 1]),
            request(8, c, [9, 0x0827, 0, 0, 51, 99, 99, 1, 2, 3]),
            request(255, c, [2, 0x0828, 0]),
            request(9, c), request(10, c), request(11, c), request(69, c)])

    def test_failing_opens_and_calls(self):
        DRIVER.configure(["[Device PcCard0-0]", "OpenError=5", "[Device PcCard0-1]",
                          "CallError=0x1F"])
        # Wine cannot fail an open with the driver's answer: the card's link
        # leads nowhere instead, whatever error was asked for.
        self.assertEqual(client("open", "PcCard0-0"), ["open ok=0 error=3"])
        self.assertEqual(client("open", "PcCard0-1", "probe")[1],
                         request(0, 0, ok=0, error=31))
        DRIVER.configure(["[Device PcCard0-0]"])
        out = client("open", "PcCard0-0", "call", 0x00170006, 0xFF020401, 8204,
                     "call", 0x00170002, 0xFF020400, 8204, "call", 0x00170002, "none", 8204,
                     "call", 0x00170002, 0xFF020401, 11, "call", 0x00170002, 0xFF020401, 12)
        self.assertEqual([l.split(" status=")[0] for l in out[1:]], [
            "request ok=0 error=1", "request ok=0 error=87", "request ok=0 error=87",
            "request ok=0 error=122", "request ok=1 error=0"])
        self.assertIn("Probes=1", DRIVER.machine_sections()["device pccard0-0"])


class Names(unittest.TestCase):
    def test_every_name_the_program_seeks_exists_and_opens_only_with_a_card(self):
        DRIVER.configure(["[Device PcCard1-0]"])
        for name in wd.LINKED_NAMES:
            self.assertEqual(client("query", name),
                             ["query ok=1 error=0 target=\\Device\\%s" % name])
        self.assertEqual(client("open", "PcCard0-0")[0].split(" error=")[0], "open ok=0")
        self.assertEqual(client("open", "PcCard1-0"), ["open ok=1 error=0"])

    def test_wine_makes_no_dos_device_name_the_program_defines(self):
        # Why the driver makes the links itself: should a Wine upgrade make
        # such names, the program's create-and-remove path could run here.
        DRIVER.configure(["[Device PcCard1-0]"])
        self.assertEqual(client("define", 1, "PcCard7-7", "\\Device\\PcCard1-0",
                                "query", "PcCard7-7", "open", "PcCard7-7"),
                         ["define ok=1 error=0", "query ok=0 error=2 target=",
                          "open ok=0 error=2"])
        self.assertEqual(client("define", 7, "PcCard1-0", "\\Device\\PcCard1-0",
                                "query", "PcCard1-0"),
                         ["define ok=0 error=2", "query ok=1 error=0 target=\\Device\\PcCard1-0"])

    def test_vxd_names_reach_the_card_on_the_windows_95_line(self):
        DRIVER.configure(["[Device RUKRV48.VXD]", "Context=7"])
        for family in ("win95", "win98"):
            with self.subTest(family=family):
                self.assertEqual(client("open", "RUKRV48.VXD", "probe", family=family),
                                 ["open ok=1 error=0", request(0, 7)])
        self.assertEqual(client("open", "RUKRV41.VXD", family="win95")[0].split(" error=")[0],
                         "open ok=0")

    def test_a_new_configuration_replaces_the_cards(self):
        DRIVER.configure(["[Device PcCard0-0]", "Probes=5", "Closes=2", "Control=4"])
        client("open", "PcCard0-0", "probe", "control", 6, "close", "closehandle")
        card = DRIVER.machine_sections()["device pccard0-0"]
        for line in ["Probes=6", "Closes=3", "Control=4", "Control=6"]:
            self.assertIn(line, card)
        DRIVER.configure(["[Device PcCard0-1]"])
        self.assertEqual(client("open", "PcCard0-0")[0].split(" error=")[0], "open ok=0")
        self.assertIn("Probes=0", DRIVER.machine_sections()["device pccard0-1"])
        DRIVER.configure([])
        self.assertEqual(client("query", "PcCard0-1")[0].split(" error=")[0], "query ok=0")


class Handles(unittest.TestCase):
    def test_a_handle_the_process_left_open_is_counted(self):
        DRIVER.configure(["[Device PcCard0-0]"])
        client("open", "PcCard0-0", "probe")
        self.assertIn("OpenHandles=1", DRIVER.machine_sections()["device pccard0-0"])
        DRIVER.configure(["[Device PcCard0-0]"])
        # The second handle is closed by the process as it ends; the probe
        # on it lets the driver answer the open first, as the program does.
        client("open", "PcCard0-0", "probe", "open", "PcCard0-0", "probe", "closehandle")
        self.assertIn("OpenHandles=1", DRIVER.machine_sections()["device pccard0-0"])


BASE = os.path.abspath(os.path.join(HERE, "..", "scenarios", "base"))

# The runner's verdict on each must follow the name's ending: "must pass",
# or "must fail: TEXT" / "must skip: TEXT" with a text its report holds.
RUNNER_SCENARIOS = r"""
use %(base)s/key-texts.def

defaults: W with a card driver
family: win2000
include: %(base)s/win2000-card.reg
run: W 1a2b3

=== a driver of another version, must pass: not checked: [Device PcCard0-0] DosNames=0
machine:
  [Device PcCard0-0]
  Identity=5 0x0826 0 1 6 15
exit: 5
expect-machine:
  [Device PcCard0-0]
  Probes=1
  Closes=1
  DosNames=0

=== no card after a scenario with one, must pass
exit: 6

=== what the card did not receive, must fail: lacks [Device PcCard0-1] Closes=2
machine:
  [Device PcCard0-1]
  Identity=5 0x0826 0 1 6 15
exit: 5
expect-machine:
  [Device PcCard0-1]
  Closes=2

=== a DOS device name of its own, must skip: Other=\Device\Other
machine:
  [Device PcCard0-0]
  [DosDevices]
  Other=\Device\Other
exit: 0
""" % {"base": BASE}


# The same without the driver: each kind of expectation the program does not
# meet fails on its own, and no scenario's atoms or registry leak into the
# next.
RUNNER_SCENARIOS_WITHOUT_DRIVER = r"""
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


class Runner(unittest.TestCase):
    """run_scenarios_wine.py, without the driver and with it: every unmet
    expectation fails, the cards' expectations are checked, cards do not
    outlive their scenario, what Wine cannot show is said, and the prefix is
    left as the runner found it."""

    def setUp(self):
        if not OPTIONS.exe:
            self.skipTest("needs --exe")

    def verdicts(self, scenarios, *driver):
        output, returncode, problems = sc.play_runner(
            [sys.executable, os.path.join(HERE, "run_scenarios_wine.py"), "--prefix", WINE.prefix,
             "--exe", OPTIONS.exe, "--probe", OPTIONS.probe] + list(driver), scenarios)
        self.assertEqual(problems, [], output)
        self.assertEqual(returncode, 1, output)

    def test_verdicts_without_the_driver(self):
        self.verdicts(RUNNER_SCENARIOS_WITHOUT_DRIVER)

    def test_verdicts(self):
        self.verdicts(RUNNER_SCENARIOS, "--driver", DRIVER_FILE)
        # The driver was installed before the runner, so it stays, stopped.
        self.assertEqual(client("query", "PcCard0-0")[0].split(" error=")[0], "query ok=0")
        self.assertEqual(WINE.run("sc", ["query", wd.SERVICE]).returncode, 0)


def main():
    global OPTIONS
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", help="folder with the driver and its client, built")
    parser.add_argument("--exe", help="rckrv48.exe of the prefix's bitness")
    parser.add_argument("--probe", required=True, help="rck_probe.exe of the prefix's bitness")
    parser.add_argument("--prefix", help="use this Wine prefix instead of a fresh one")
    OPTIONS, rest = parser.parse_known_args()
    if not wn.available():
        return wn.require_or_skip()
    if OPTIONS.exe:
        OPTIONS.exe = os.path.abspath(OPTIONS.exe)
    OPTIONS.probe = os.path.abspath(OPTIONS.probe)
    with tempfile.TemporaryDirectory() as scratch:
        OPTIONS.scratch = scratch
        program = unittest.main(argv=[sys.argv[0]] + rest, exit=False)
    return 0 if program.result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
