"""A Wine machine for the end-to-end tests: a prefix with a persistent
wineserver, so that global atoms outlive the processes that add them and the
services (the test card driver among them) keep running between programs.

The loader is the machine's 64-bit one (/usr/lib/wine/wine64; the `wine`
wrapper would pick the 32-bit one, which this kernel cannot run), or the one
named by RCK_WINE: the shipped i686 exe runs on the 32-bit Wine that
tools/setup-wine32.sh prepares, whose loader goes through the emulator
qemu-i386, with WINEARCH=win32 for a 32-bit prefix. Both are served by the
machine's 64-bit wineserver.

The registry is set and read, the global atoms and the DOS device names
seen and the test card driver's service started and stopped by the probe
beside the program (tests/e2e/win/probe.cpp), which does a list of such
steps in one process start: under the emulator each start costs seconds.

As a program it prepares a prefix that several test runs then share (a
prefix takes about 10 s and some hundred megabytes):

    wine.py start DIR   a fresh prefix in DIR, its wineserver kept running
    wine.py stop DIR    stops that wineserver and removes DIR
"""

import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

import scenario as sc

WINE = os.environ.get("RCK_WINE", "/usr/lib/wine/wine64")
WINESERVER = os.environ.get("RCK_WINESERVER", "/usr/lib/wine/wineserver")
# The exit code of a test that was skipped, for CTest's SKIP_RETURN_CODE.
SKIPPED = 77
# A 32-bit prefix, for the i686 programs.
WIN32 = os.environ.get("WINEARCH") == "win32"

# Locales that give Wine's processes each ANSI code page the tests use; the
# Japanese one must be installed on the machine (tools/setup.sh makes it).
LOCALES = {1252: "C.UTF-8", 932: "ja_JP.UTF-8"}

# The Version values of HKCU\Software\Wine for each Windows family.
WINE_VERSIONS = {"win95": "win95", "win98": "win98", "nt4": "nt40", "win2000": "win2k"}


def family_lines(family):
    """REGEDIT4 lines that make GetVersionExA report the Windows family."""
    return ["[HKEY_CURRENT_USER\\Software\\Wine]", '"Version"="%s"' % WINE_VERSIONS[family]]


class WineError(Exception):
    pass


def registry_steps(lines):
    """The probe's steps that do to the registry what `reg import` does with
    REGEDIT4 lines (without the header), key by key in their order."""
    steps = []
    sections = []
    for line in lines:
        if line.strip().startswith("["):
            sections.append([line])
        elif sections:  # what stands before the first key is comments
            sections[-1].append(line)
    for section in sections:
        header = section[0].strip()
        if header.startswith("[-"):
            steps.append(("delete-key", header[2:-1]))
            continue
        keys, _, deleted = sc.parse_regedit(section, "registry")
        name, values = keys[header[1:-1].lower()]
        steps.append(("create-key", name))
        for value, vtype, data in values.values():
            steps.append(("set-value", name, value, str(vtype), data.hex()))
        steps += [("delete-value", name, value) for key, value in sorted(deleted)
                  if value not in values]
    return steps


def available():
    return os.access(WINE, os.X_OK) and os.access(WINESERVER, os.X_OK)


def require_or_skip():
    """What a test does when Wine is missing: skip, or fail when
    RCK_WINE_REQUIRED is set (the test command sets it, so a Wine that failed
    to install cannot pass for a skipped suite)."""
    print("%s: Wine not found (%s)" % (
        "FAIL" if os.environ.get("RCK_WINE_REQUIRED") else "skip", WINE))
    return 1 if os.environ.get("RCK_WINE_REQUIRED") else SKIPPED


class Wine:
    def __init__(self, prefix=None, probe=None):
        """A new prefix in a temporary folder, or the given prefix folder,
        which is made when it does not exist yet; `probe` is rck_probe.exe
        of the prefix's bitness."""
        self.probe = probe and os.path.abspath(probe)
        self.owned = prefix is None
        self.workdir = tempfile.mkdtemp(prefix="rck-wine-")
        self.prefix = os.path.join(self.workdir, "prefix") if prefix is None else os.path.abspath(prefix)
        env = dict(os.environ)
        env.pop("DISPLAY", None)
        env.pop("WAYLAND_DISPLAY", None)
        env.update(WINEPREFIX=self.prefix, WINEDEBUG="-all", WINESERVER=WINESERVER,
                   # No installer for the .NET and HTML engines while booting.
                   WINEDLLOVERRIDES="mscoree,mshtml=")
        self.env = env
        self.started = False
        # Programs started through run(): each start costs seconds under
        # the emulator, so the runners report how many they made.
        self.starts = 0

    def start(self):
        """Boots the prefix (about 5 s when new) and keeps its wineserver
        running. A given prefix that was booted before is used as it is."""
        self.started = True  # from here on, stop() has a server to end
        if self.owned or not os.path.exists(os.path.join(self.prefix, "system.reg")):
            self.boot()
            # The service manager of the session that made the prefix answers
            # the start of a driver installed later with a timeout, for
            # minutes; the one of a new session does not. Ending the server
            # also writes the registry out, which a persistent server only
            # does now and then: system.reg tells a booted prefix.
            self.kill()
        self.make_persistent()

    def boot(self):
        """Creates the prefix.

        Output goes to a file: the services that wineboot leaves running
        inherit its standard handles and would keep a pipe open for good."""
        log_path = os.path.join(self.workdir, "wineboot.log")
        with open(log_path, "wb") as log:
            rc = subprocess.call([WINE, "wineboot", "-i"], env=self.env,
                                 stdin=subprocess.DEVNULL, stdout=log, stderr=log, timeout=300)
        if rc != 0:
            with open(log_path, "rb") as log:
                raise WineError("wineboot -i failed (%d): %s" % (rc, log.read()[-2000:]))

    def server_pids(self):
        """The running wineserver of this prefix: it works in a folder named
        after the prefix's device and inode."""
        try:
            st = os.stat(self.prefix)
        except OSError:
            return []
        folder = "server-%x-%x" % (st.st_dev, st.st_ino)
        pids = []
        for pid in os.listdir("/proc"):
            if not pid.isdigit():
                continue
            try:
                if os.path.basename(os.readlink("/proc/%s/cwd" % pid)) == folder:
                    pids.append(int(pid))
            except OSError:
                pass  # gone, or not ours to look at
        return pids

    def processes(self):
        """The live Wine processes of this prefix."""
        wanted = b"WINEPREFIX=" + os.fsencode(self.prefix)
        pids = []
        for pid in os.listdir("/proc"):
            if not pid.isdigit():
                continue
            try:
                # The 32-bit Wine's processes run in the emulator.
                if not os.path.basename(os.readlink("/proc/%s/exe" % pid)).startswith(
                        ("wine", "qemu-i386")):
                    continue
                with open("/proc/%s/stat" % pid, "rb") as f:
                    if f.read().rsplit(b")", 1)[1].split()[0] == b"Z":
                        continue
                with open("/proc/%s/environ" % pid, "rb") as f:
                    if wanted in f.read().split(b"\0"):
                        pids.append(int(pid))
            except (OSError, IndexError):
                pass
        return pids

    def end_processes(self, patience=5.0):
        """Waits for the processes of an ended server to go, and kills those
        that do not: a process caught starting when its server went waits
        for it forever."""
        deadline = time.monotonic() + patience
        while self.processes() and time.monotonic() < deadline:
            time.sleep(0.1)
        for pid in self.processes():
            try:
                os.kill(pid, signal.SIGKILL)
            except OSError:
                pass

    def persistent(self):
        """Whether the prefix's wineserver is running and stays until killed.

        Debian's wineserver script puts -p0 first (end with the last
        program); a later -p without a number wins."""
        for pid in self.server_pids():
            try:
                with open("/proc/%d/cmdline" % pid, "rb") as f:
                    args = f.read().decode("latin-1").split("\0")
            except OSError:
                continue
            last = [a for a in args if a.startswith("-p") or a.startswith("--persistent")]
            if last and last[-1] in ("-p", "--persistent"):
                return True
        return False

    def make_persistent(self):
        """Makes sure the prefix runs on a wineserver that stays until killed,
        with its services started.

        `wineserver -p` makes persistent only a server it starts itself, so a
        running one has to end first (it does shortly after its last
        program). A service manager that starts while the last one's
        processes are still going away hangs on its drivers, so those are
        waited for too. The first program on the new server starts the
        services, which keep its standard handles: never a pipe that someone
        reads to its end."""
        if self.persistent():
            return
        quiet = dict(env=self.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        subprocess.call([WINESERVER, "-w"], timeout=120, **quiet)
        self.end_processes()
        subprocess.call([WINESERVER, "-p"], **quiet)
        # The new server moves into its folder a moment after -p returns.
        deadline = time.monotonic() + 10
        while not self.persistent():
            if time.monotonic() >= deadline:
                raise WineError("wineserver -p did not start a persistent server for %s" %
                                self.prefix)
            time.sleep(0.05)
        rc = subprocess.call([WINE, "wineboot"], stdin=subprocess.DEVNULL, timeout=300, **quiet)
        if rc != 0:
            raise WineError("wineboot on the persistent server failed (%d)" % rc)

    def stop(self):
        """Ends a prefix of its own; a given prefix keeps running for its owner."""
        if self.started and self.owned:
            self.kill()
            self.started = False
        shutil.rmtree(self.workdir, ignore_errors=True)

    def kill(self):
        """Ends the prefix's wineserver and every process on it."""
        if not os.path.isdir(self.prefix):
            return
        quiet = dict(env=self.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        subprocess.call([WINESERVER, "-k"], **quiet)
        subprocess.call([WINESERVER, "-w"], timeout=60, **quiet)
        self.end_processes()

    def __enter__(self):
        try:
            self.start()
        except BaseException:
            self.stop()
            raise
        return self

    def __exit__(self, *exc):
        self.stop()

    def run(self, program, args, stdin=b"", env=None, timeout=60, cwd=None):
        """Runs a Windows program, in the Linux folder cwd (Wine gives the
        program the same folder); returns the CompletedProcess with bytes."""
        full_env = dict(self.env, **(env or {}))
        self.starts += 1
        return subprocess.run([WINE, program] + list(args), env=full_env, input=stdin, cwd=cwd,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=timeout)

    def path(self, name):
        """A file name in the work folder."""
        return os.path.join(self.workdir, name)

    def steps(self, steps):
        """Does the probe's steps [(command, argument...)] in one process;
        returns each one's exit code and output: [(code, text)]."""
        fields = [f for step in steps for f in step]
        if any("\t" in f or "\n" in f for f in fields):
            raise WineError("a probe step holds a tab or a line end: %r" % steps)
        stdin = "".join("\t".join(step) + "\n" for step in steps).encode("latin-1")
        proc = self.run(self.probe, ["steps"], timeout=300, stdin=stdin)
        if not proc.stdout and not proc.stderr:
            # Now and then, on a loaded machine, a probe start gives back
            # nothing at all: not one answer, not a word on standard error
            # (the cause is not known; a step that fails still answers, and
            # a crash leaves Wine's report on standard error). It is tried
            # once more, and said so; a second silence fails below.
            print("rck_probe steps: no output (exit code %d); started once more" % proc.returncode,
                  file=sys.stderr)
            proc = self.run(self.probe, ["steps"], timeout=300, stdin=stdin)
        results = []
        text = []
        for line in proc.stdout.decode("latin-1").split("\n"):
            if line.startswith("< "):
                results.append((int(line[2:]), "".join(t + "\n" for t in text)))
                text = []
            else:
                text.append(line)
        if len(results) != len(steps):
            raise WineError("rck_probe steps: %d answers to %d steps (exit code %d): %r" %
                            (len(results), len(steps), proc.returncode, proc.stderr))
        return results

    def reg_import(self, lines, before=(), then=()):
        """Sets the registry as REGEDIT4 lines (without the header) say, as
        `reg import` does, between the probe's steps `before` and `then`,
        all in one process; returns the results of those steps."""
        registry = registry_steps(lines)
        results = self.steps(list(before) + registry + list(then))
        for step, (code, _) in zip(registry, results[len(before):]):
            if code != 0:
                raise WineError("rck_probe %s failed (%d)" % (" ".join(step), code))
        return results[:len(before)] + results[len(before) + len(registry):]

    def export(self, keys):
        """The keys with everything below them, parsed (scenario.parse_regedit)."""
        code, text = self.steps([("export",) + tuple(keys)])[0]
        if code != 0:
            raise WineError("rck_probe export failed (%d)" % code)
        return sc.parse_regedit(text.split("\n"), "Wine registry")[0]


def main(argv):
    if len(argv) != 3 or argv[1] not in ("start", "stop"):
        print("usage: wine.py start|stop DIR")
        return 2
    prefix = os.path.abspath(argv[2])
    if not available():
        # The tests that need the prefix skip or fail on their own.
        print("Wine not found (%s): nothing to do" % WINE)
        return 0
    wine = Wine(prefix)
    # A persistent server outlives its prefix folder: a run that was cut
    # short leaves one behind.
    wine.kill()
    shutil.rmtree(prefix, ignore_errors=True)
    if argv[1] == "start":
        wine.start()
        print("Wine prefix ready: %s" % prefix)
    wine.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
