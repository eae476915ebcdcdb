"""A Wine machine for the end-to-end tests: a prefix with a persistent
wineserver, so that global atoms outlive the processes that add them.

Only the 64-bit loader is used: the `wine` wrapper picks the 32-bit one,
which cannot run on every kernel.

As a program it prepares a prefix that several test runs then share (a
prefix takes about 10 s and some hundred megabytes):

    wine.py start DIR   a fresh prefix in DIR, its wineserver kept running
    wine.py stop DIR    stops that wineserver and removes DIR
"""

import os
import shutil
import subprocess
import sys
import tempfile

WINE64 = os.environ.get("RCK_WINE64", "/usr/lib/wine/wine64")
WINESERVER = os.environ.get("RCK_WINESERVER", "/usr/lib/wine/wineserver")

# The Version values of HKCU\Software\Wine for each Windows family.
WINE_VERSIONS = {"win95": "win95", "win98": "win98", "nt4": "nt40", "win2000": "win2k"}


def family_lines(family):
    """REGEDIT4 lines that make GetVersionExA report the Windows family."""
    return ["[HKEY_CURRENT_USER\\Software\\Wine]", '"Version"="%s"' % WINE_VERSIONS[family]]


class WineError(Exception):
    pass


def available():
    return os.access(WINE64, os.X_OK) and os.access(WINESERVER, os.X_OK)


class Wine:
    def __init__(self, prefix=None):
        """A new prefix in a temporary folder, or the given prefix folder,
        which is made when it does not exist yet."""
        self.owned = prefix is None
        self.workdir = tempfile.mkdtemp(prefix="rck-wine-")
        self.prefix = os.path.join(self.workdir, "prefix") if prefix is None else os.path.abspath(prefix)
        env = dict(os.environ)
        env.pop("DISPLAY", None)
        env.pop("WAYLAND_DISPLAY", None)
        env.update(WINEPREFIX=self.prefix, WINEDEBUG="-all",
                   # No installer for the .NET and HTML engines while booting.
                   WINEDLLOVERRIDES="mscoree,mshtml=")
        self.env = env
        self.started = False

    def start(self):
        """Boots the prefix (about 10 s when new) and keeps its wineserver running.
        A given prefix that was booted before is used as it is."""
        self.boot(self.owned or not os.path.exists(os.path.join(self.prefix, "system.reg")))
        with open(os.devnull, "wb") as null:
            subprocess.call([WINESERVER, "-p"], env=self.env, stdout=null, stderr=null)
        self.started = True

    def boot(self, new):
        """Creates the prefix, or starts the services of one made before.

        Output goes to a file: the services that wineboot leaves running
        inherit its standard handles and would keep a pipe open for good.
        Started here, they never see the pipes of the programs run later."""
        log_path = os.path.join(self.workdir, "wineboot.log")
        with open(log_path, "wb") as log:
            rc = subprocess.call([WINE64, "wineboot"] + (["-i"] if new else []), env=self.env,
                                 stdin=subprocess.DEVNULL, stdout=log, stderr=log, timeout=300)
        if rc != 0:
            with open(log_path, "rb") as log:
                raise WineError("wineboot -i failed (%d): %s" % (rc, log.read()[-2000:]))

    def stop(self):
        """Ends a prefix of its own; a given prefix keeps running for its owner."""
        if self.started and self.owned:
            subprocess.call([WINESERVER, "-k"], env=self.env, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)
            subprocess.call([WINESERVER, "-w"], env=self.env, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL, timeout=60)
            self.started = False
        shutil.rmtree(self.workdir, ignore_errors=True)

    def __enter__(self):
        self.start()
        return self

    def __exit__(self, *exc):
        self.stop()

    def run(self, program, args, stdin=b"", env=None, timeout=60):
        """Runs a Windows program; returns the CompletedProcess with bytes."""
        full_env = dict(self.env, **(env or {}))
        return subprocess.run([WINE64, program] + list(args), env=full_env, input=stdin,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=timeout)

    def path(self, name):
        """A file name in the work folder."""
        return os.path.join(self.workdir, name)

    def reg_import(self, lines):
        """Imports REGEDIT4 lines (without the header) with the real reg tool."""
        path = self.path("import.reg")
        with open(path, "wb") as f:
            f.write(("REGEDIT4\r\n\r\n" + "\r\n".join(lines) + "\r\n").encode("latin-1"))
        proc = self.run("reg", ["import", path])
        if proc.returncode != 0:
            raise WineError("reg import failed: %r %r" % (proc.stdout, proc.stderr))


def main(argv):
    if len(argv) != 3 or argv[1] not in ("start", "stop"):
        print("usage: wine.py start|stop DIR")
        return 2
    prefix = os.path.abspath(argv[2])
    if not available():
        print("Wine not found (%s): nothing to do" % WINE64)
        return 0
    if argv[1] == "start":
        shutil.rmtree(prefix, ignore_errors=True)
        wine = Wine(prefix)
        wine.start()
        wine.stop()
        print("Wine prefix ready: %s" % prefix)
    else:
        wine = Wine(prefix)
        subprocess.call([WINESERVER, "-k"], env=wine.env, stdout=subprocess.DEVNULL,
                        stderr=subprocess.DEVNULL)
        subprocess.call([WINESERVER, "-w"], env=wine.env, stdout=subprocess.DEVNULL,
                        stderr=subprocess.DEVNULL, timeout=60)
        shutil.rmtree(prefix, ignore_errors=True)
        shutil.rmtree(wine.workdir, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
