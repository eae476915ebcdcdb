#!/usr/bin/env python3
"""Plays the end-to-end scenarios on the Windows executable under Wine.

Usage: run_scenarios_wine.py --exe rckrv48.exe --probe rck_probe.exe
                             [--driver testcard.sys] [--prefix DIR]
                             [--scripts DIR] FILE.scn...

The same scenario files as run_scenarios.py, on a real Windows API: Wine's
registry, atom table, DOS device names and, with --driver, the test card
driver (testdriver/, built by testdriver/build.sh) behind CreateFileA and
DeviceIoControl. Per scenario, one start of the probe removes every key that
any scenario names (so runs do not see each other), sets the Windows version
Wine reports for the scenario's family, seeds the starting registry and the
atoms, and restarts the card driver with the scenario's [Device NAME]
sections, or stops it when it has none; then the executable runs once, and a
second start of the probe reads back what is compared with the scenario's
expectations: the registry below the named keys, the global atoms, what the
cards received and (for W) the DOS device names, beside the program's exit
code and standard output. A scenario started through a deployment script (`through:`)
runs that script instead, with cmd or cscript, from a folder of the prefix
that holds the program as RCKRV48.EXE beside the scripts, as the release
package has them.

Scenarios with cards are skipped without --driver, and so are those with
machine settings that Wine cannot give, with the reason. Expectations that
Wine cannot show are listed under the scenario as not checked, with the
reason. Exit code 0 when nothing failed, 1 when something failed, 77 when
every scenario was skipped.
"""

import argparse
import os
import shutil
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "..", "tools"))
import scenario as sc  # noqa: E402
import wine as wn  # noqa: E402
import wine_driver as wd  # noqa: E402
import check_exe  # noqa: E402

# The key the program writes to when it finds no adapter; watched in every
# scenario even when none names it.
WATCHED_KEYS = ["HKEY_LOCAL_MACHINE\\Software\\Corvane"]
MANAGER_ATOMS = ["RAD INSTALLED 0", "RAD INSTALLED 1"]
# Where the program and the deployment scripts go in the prefix: a folder
# with a blank in its name, which the scripts must quote.
DEPLOY_FOLDER = "C:\\Program Files\\Rck Deploy"


def starting_atoms(s):
    """The global atoms the scenario's machine starts with."""
    return [atom for header, atoms in sc.sections(s.machine_lines) if is_atoms(header)
            for _, atom in atoms]


def is_atoms(header):
    return header.strip().lower() == "atoms"


def is_card_driver(header):
    """Machine sections that the test card driver stands for."""
    h = header.strip().lower()
    return h.startswith("device ") or h == "dosdevices"


def skip_reason(s, driver):
    for header, _ in sc.sections(s.machine_lines):
        if is_card_driver(header):
            if driver is None:
                return "needs the test driver (--driver)"
        elif not is_atoms(header):
            return "needs the machine setting [%s], which Wine cannot give" % header
    if driver is not None:
        reason = wd.unsupported(s.machine_lines)
        if reason:
            return reason
    for header, _ in sc.expected_machine_lines(s):
        if not is_atoms(header) and not (driver is not None and is_card_driver(header)):
            return "expects [%s], which only the simulated machine shows" % header
    return None


def named_keys(scenarios):
    """The keys the scenarios write in their registry and changes blocks."""
    names = []
    for s in scenarios:
        for line in s.registry_lines + s.change_lines:
            t = line.strip()
            if t.startswith("[") and t.endswith("]"):
                names.append(t[1:-1].lstrip("-"))
    return names


class Machine:
    """The Wine machine with the program and the probe beside it."""

    def __init__(self, wine, exe, scripts=None):
        self.wine = wine
        self.exe = exe
        self.scripts = scripts
        self.deployed = None

    def deploy(self):
        """Puts the program as RCKRV48.EXE and the deployment scripts into
        DEPLOY_FOLDER, once; returns that folder's Linux path."""
        if self.deployed is None:
            folder = os.path.join(self.wine.prefix, "drive_c",
                                  *DEPLOY_FOLDER.split("\\")[1:])
            os.makedirs(folder, exist_ok=True)
            shutil.copyfile(self.exe, os.path.join(folder, "RCKRV48.EXE"))
            for name in ("SETKEY.BAT", "SETKEY.VBS"):
                shutil.copyfile(os.path.join(self.scripts, name), os.path.join(folder, name))
            self.deployed = folder
        return self.deployed

    def undeploy(self):
        if self.deployed is not None:
            shutil.rmtree(self.deployed, ignore_errors=True)
            self.deployed = None

    def run(self, s, env):
        """Starts the program for the scenario: directly, or through the
        deployment script it names."""
        if s.through is None:
            return self.wine.run(self.exe, s.args, env=env)
        folder = self.deploy()
        elsewhere = self.wine.workdir
        if s.through == "SETKEY.BAT":
            # From its own folder, where it finds the program.
            return self.wine.run("cmd", ["/c", "SETKEY.BAT"] + s.args, env=env, cwd=folder)
        if s.through == "SETKEY.BAT on PATH":
            # Wine puts WINEPATH in front of the PATH it gives its programs.
            return self.wine.run("cmd", ["/c", "SETKEY.BAT"] + s.args, cwd=elsewhere,
                                 env=dict(env or {}, WINEPATH=DEPLOY_FOLDER))
        return self.wine.run("cscript", ["//nologo", DEPLOY_FOLDER + "\\SETKEY.VBS"] + s.args,
                             env=env, cwd=elsewhere)

    def find_roots(self, names):
        """The keys to clean and compare: for each named key, the shortest key
        on its path that a fresh prefix lacks. Everything below such a key is
        the scenarios' own, so removing it restores the fresh state."""
        def path(name):
            parts = name.split("\\")
            return ["\\".join(parts[:n]) for n in range(2, len(parts) + 1)]

        paths = {}
        for name in names:
            for p in path(name):
                paths.setdefault(p.lower(), p)
        candidates = list(paths.values())
        exists = {}
        # Steps of a hundred keys keep within the probe's fields of a step.
        chunks = [candidates[i:i + 100] for i in range(0, len(candidates), 100)]
        for chunk, (_, answers) in zip(chunks, self.wine.steps(
                [("key-exists",) + tuple(chunk) for chunk in chunks])):
            exists.update((p.lower(), a == "1") for p, a in zip(chunk, answers.split()))
        roots = {}
        present = []
        for name in names:
            root = next((p for p in path(name) if not exists[p.lower()]), None)
            if root is None:
                present.append(name)
            else:
                roots[root.lower()] = root
        cover = [r for k, r in roots.items()
                 if not any(k.startswith(other + "\\") for other in roots)]
        return sorted(cover, key=str.lower), present


def under(key, roots):
    return any(key == r or key.startswith(r + "\\") for r in roots)


def play(m, s, roots, atom_names, driver):
    """Plays one scenario; returns its problems, none when it passed, and the
    expectations not checked: [(header, line, why)]."""
    problems = []
    unchecked = []
    registry = [l for l in s.registry_lines if l.strip() != "REGEDIT4"]
    lines = ["[-%s]" % r for r in roots] + wn.family_lines(s.family) + registry

    start_atoms = starting_atoms(s)
    wanted = sc.expected_machine_lines(s)
    wanted_atoms = [line for header, line in wanted if is_atoms(header)]
    wanted_cards = [(header, line) for header, line in wanted if not is_atoms(header)]
    # The probe's steps after the registry: the atoms, and the DOS device
    # names before the run.
    steps = []
    if start_atoms or wanted_atoms:
        steps.append(("delete-atom",) + tuple(atom_names))
        if start_atoms:
            steps.append(("add-atom",) + tuple(start_atoms))
    watch_devices = s.program_args()[:1] == ["W"]
    if watch_devices:
        steps.append(("dos-devices",))
    if driver is None:
        results = m.wine.reg_import(lines, then=steps)
    else:
        # Also without cards: the last scenario's must not answer this one.
        # 32-bit Wine 8 crashes in DefineDosDeviceA on the names the program
        # makes for W (kernelbase's DefineDosDeviceW copies "\\DosDevices\\"
        # and the name into a 15-character stack buffer), so there the driver
        # runs for every W, with or without cards: its links lead nowhere
        # unless a card stands behind them, and the program finds its names
        # existing.
        results = driver.configure(s.machine_lines, lines, then=steps,
                                   links=wn.WIN32 and watch_devices)
    if watch_devices:
        devices_before = set(results[-1][1].split("\n"))

    # Wine takes the code page from the locale and hands the program the
    # arguments in it.
    code_page_env = {"LC_ALL": wn.LOCALES[s.code_page]} if s.code_page else None
    proc = m.run(s, code_page_env)
    problems += sc.outcome_problems(s, proc)

    # One probe start reads back the registry with what the cards received,
    # the atoms and the DOS device names.
    cards = driver is not None and driver.cards
    steps = [("export",) + tuple(roots + ([wd.PARAMETERS_KEY] if cards else []))]
    if wanted_atoms:
        steps.append(("find-atom",) + tuple(wanted_atoms))
    if watch_devices:
        steps.append(("dos-devices",))
    results = m.wine.steps(steps)
    if results[0][0] != 0:
        raise wn.WineError("rck_probe export failed (%d)" % results[0][0])

    root_keys = [r.lower() for r in roots]
    start, _, _ = sc.parse_regedit(s.registry_lines, s.where())
    expected = {k: v for k, v in sc.apply_changes(start, s.change_lines).items()
                if under(k, root_keys)}
    # The parser adds the keys on the way to each exported key; only the
    # keys below the roots are the program's to change.
    exported, _, _ = sc.parse_regedit(results[0][1].split("\n"), "Wine registry")
    actual = {k: v for k, v in exported.items() if under(k, root_keys)}
    problems += sc.compare_registry(expected, actual)

    if wanted_atoms:
        answers = results[1][1].split()
        for line, answer in zip(wanted_atoms, answers):
            if answer != "1":
                problems.append("machine lacks [Atoms] %s" % line)
    sections = {}
    if cards:
        # Read even when nothing is expected: it fails on a card that did not
        # take its settings.
        sections = driver.machine_sections(exported)
    if s.exit in (1, 4):
        # A refused command line sends the card nothing.
        for header, lines in sections.items():
            if "Probes=0" not in lines:
                problems.append("[%s] reached although the command line was refused" % header)
    for header, line in wanted_cards:
        why = wd.not_checkable(header, line)
        if why:
            unchecked.append((header, line, why))
        elif line not in sections.get(header.strip().lower(), []):
            problems.append("machine lacks [%s] %s" % (header, line))
    if watch_devices:
        devices_after = set(results[-1][1].split("\n"))
        for name in sorted(devices_after - devices_before):
            problems.append("DOS device name left behind: %s" % name)
        for name in sorted(devices_before - devices_after):
            problems.append("DOS device name removed: %s" % name)
    return problems, unchecked


def check_version_resource(m, exe):
    """What V prints under Wine must be the version resource's description."""
    with open(exe, "rb") as f:
        _, strings = check_exe.read_version_info(check_exe.Pe(f.read()))
    m.wine.reg_import(wn.family_lines("win2000"))
    proc = m.wine.run(m.exe, ["V"])
    expected = (strings.get("FileDescription", "") + "\r\n").encode("latin-1")
    if proc.stdout != expected or proc.returncode != 0:
        return ["V printed %r (exit %d), the version resource says %r" %
                (proc.stdout, proc.returncode, expected)]
    return []


def play_all(m, scenarios, roots, present, driver):
    """Plays every scenario; returns the numbers failed, played and skipped,
    and how many expectations were not checked for each reason."""
    atom_names = set(MANAGER_ATOMS)
    for s in scenarios:
        atom_names.update(line for header, line in sc.expected_machine_lines(s)
                          if is_atoms(header))
        atom_names.update(starting_atoms(s))
    atom_names = sorted(atom_names)
    present = set(k.lower() for k in present)
    failed = played = skipped = 0
    not_checked = {}
    starts = m.wine.starts
    for s in scenarios:
        reason = skip_reason(s, driver)
        if reason:
            skipped += 1
            print("skip %s %s: %s" % (s.where(), s.name, reason))
            continue
        clash = [k for k in named_keys([s]) if k.lower() in present]
        unchecked = []
        if clash:
            problems = ["names a key that the Wine prefix had before the suite, which "
                        "cannot be cleaned: %s" % k for k in clash]
        else:
            try:
                problems, unchecked = play(m, s, roots, atom_names, driver)
            except wd.CardDriverError as e:
                problems = ["test card driver: %s" % e]
            played += 1
        failed += sc.report(s, problems)
        for header, line, why in unchecked:
            print("     not checked: [%s] %s: %s" % (header, line, why))
            not_checked[why] = not_checked.get(why, 0) + 1
    if played:
        starts = m.wine.starts - starts
        print("%d Wine process starts for %d scenarios played, %.1f each" %
              (starts, played, starts / played))
    return failed, played, skipped, not_checked


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--exe", required=True, help="rckrv48.exe (i686 or x86_64)")
    parser.add_argument("--probe", required=True, help="rck_probe.exe of the same build")
    parser.add_argument("--driver", help="testcard.sys, to play the scenarios with cards")
    parser.add_argument("--prefix", help="use this Wine prefix instead of a fresh one")
    parser.add_argument("--scripts", default=os.path.join(HERE, "..", "..", "deploy"),
                        help="the folder of SETKEY.BAT and SETKEY.VBS (deploy/)")
    parser.add_argument("files", nargs="+")
    args = parser.parse_args()

    scenarios = []
    for path in args.files:
        scenarios += sc.load_scenarios(path)
    if not scenarios:
        print("no scenarios")
        return 1
    if not wn.available():
        return wn.require_or_skip()

    with wn.Wine(args.prefix, args.probe) as wine:
        m = Machine(wine, os.path.abspath(args.exe), os.path.abspath(args.scripts))
        roots, present = m.find_roots(WATCHED_KEYS + named_keys(scenarios))
        version_problems = check_version_resource(m, args.exe)
        for problem in version_problems:
            print("FAIL version resource: %s" % problem)
        driver = None
        try:
            # On 32-bit Wine every W needs the driver's links (see play()).
            if args.driver and any((wn.WIN32 and s.program_args()[:1] == ["W"]) or
                                   any(is_card_driver(header)
                                       for header, _ in sc.sections(s.machine_lines))
                                   for s in scenarios):
                driver = wd.CardDriver(wine, args.driver)
                driver.install()
            failed, played, skipped, not_checked = play_all(m, scenarios, roots, present,
                                                            driver)
        finally:
            # Leave a prefix given with --prefix as clean as it came.
            if driver is not None:
                driver.remove()
            m.undeploy()
            wine.reg_import(["[-%s]" % r for r in roots])
    failed += len(version_problems)
    for why, count in sorted(not_checked.items()):
        print("not checked under Wine: %d expectations: %s" % (count, why))
    print("%d scenarios under Wine: %d played, %d skipped, %d failed; %d Wine process starts" %
          (len(scenarios), played, skipped, failed, wine.starts))
    if failed:
        return 1
    return 0 if played else wn.SKIPPED


if __name__ == "__main__":
    sys.exit(main())
