#!/usr/bin/env python3
"""The release package, built from scratch the way the README says: two
copies of the sources in two folders give the same exe and zip bytes with no
build path in them; the zip holds the exe (which passes the build check),
README.TXT with the README's usage and exit codes, the deployment scripts as
deploy/ has them, and SHA256SUMS of the exe and the scripts; and a third copy
whose runtime/version.h names another variant and version gets them
everywhere: package name, version resource, V's line and the driver identity
that the program demands.

Usage: test_release.py SOURCE_DIR
Takes about a minute: three Windows builds and one Linux build, at -j2.
"""

import hashlib
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tools"))
import check_exe  # noqa: E402

SOURCE = None
EXE = os.path.join("build", "win32", "cli", "rckrv48.exe")
SCRIPTS = ["SETKEY.BAT", "SETKEY.VBS"]

# The other identity of the third copy, and the default machine's driver
# identity in the registry and in the running driver, before and after.
BUMPED = {"RCK_VARIANT": "2", "RCK_VERSION_MAJOR": "7", "RCK_VERSION_MINOR": "3",
          "RCK_VERSION_TEXT": '"7.3"'}
REGISTRY_IDENTITY = ('"DriverVariant"="1"\n"DriverMajor"="6"\n"DriverMinor"="14"',
                     '"DriverVariant"="2"\n"DriverMajor"="7"\n"DriverMinor"="3"')
RUNNING_IDENTITY = ("Identity=5 0x0826 0 1 6 14", "Identity=5 0x0826 0 2 7 3")


def run(args, cwd):
    """Runs a build step, its output into build.log beside the sources; shows
    the end of the log when it fails."""
    log = os.path.join(cwd, "..", "build.log")
    with open(log, "ab") as f:
        result = subprocess.run(args, cwd=cwd, stdout=f, stderr=subprocess.STDOUT)
    if result.returncode != 0:
        with open(log, errors="replace") as f:
            print("".join(f.readlines()[-40:]))
        raise AssertionError("%s failed in %s" % (" ".join(args), cwd))


def copy_sources(to):
    """The sources without build folders and version control, as a clean clone has them."""
    def ignore(folder, names):
        if os.path.samefile(folder, SOURCE):
            return [n for n in names if n.startswith("build") or n in (".git", "out")]
        return [n for n in names if n == "__pycache__"]
    shutil.copytree(SOURCE, to, ignore=ignore)


def build_release(src):
    """Configures and builds the release target; the path of the one zip."""
    run(["cmake", "--preset", "win32"], src)
    run(["cmake", "--build", "--preset", "release", "-j", "2"], src)
    zips = [n for n in os.listdir(os.path.join(src, "build", "win32")) if n.endswith(".zip")]
    if len(zips) != 1:
        raise AssertionError("%s: zips %r" % (src, zips))
    return os.path.join(src, "build", "win32", zips[0])


def read(path):
    with open(path, "rb") as f:
        return f.read()


def readme_sections(markdown):
    """From README.md, the headings, code block lines and exit codes of the
    part from "## Usage" to "## Building": what README.TXT must show too."""
    part = markdown[markdown.index("\n## Usage\n"):markdown.index("\n## Building\n")]
    headings = re.findall(r"^#+ (.+)$", part, re.M)
    code = [line for block in re.findall(r"^```\w*\n(.*?)^```$", part, re.M | re.S)
            for line in block.splitlines() if line.strip()]
    codes = re.findall(r"^\| (\d+) \|", part, re.M)
    return headings, code, codes


class ReleaseTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="rck-release-")
        cls.addClassCleanup(shutil.rmtree, cls.tmp)
        # Two folders of different depth and length: a path that went into
        # the exe or the zip would make them differ.
        cls.src = [os.path.join(cls.tmp, "a", "src"),
                   os.path.join(cls.tmp, "second-folder", "x", "rckrv48")]
        cls.zips = []
        for src in cls.src:
            copy_sources(src)
            cls.zips.append(build_release(src))
        cls.exe = read(os.path.join(cls.src[0], EXE))
        cls.header = check_exe.read_version_header(os.path.join(SOURCE, "runtime", "version.h"))
        cls.package = zipfile.ZipFile(cls.zips[0])
        cls.addClassCleanup(cls.package.close)

    def test_two_builds_from_scratch_give_the_same_bytes(self):
        self.assertEqual(os.path.basename(self.zips[0]), os.path.basename(self.zips[1]))
        for name, one, two in [("exe", self.exe, read(os.path.join(self.src[1], EXE))),
                               ("zip", read(self.zips[0]), read(self.zips[1]))]:
            self.assertTrue(one == two, "the two builds' %s differ" % name)

    def test_no_build_path_in_the_exe_or_the_package(self):
        texts = [("exe", self.exe), ("zip", read(self.zips[0]))]
        texts += [(n, self.package.read(n)) for n in self.package.namelist()]
        for path in [self.tmp, SOURCE] + self.src:
            for form in (path.encode(), path.encode("utf-16-le")):
                for name, data in texts:
                    self.assertFalse(form in data, "%s holds the build path %s" % (name, path))

    def test_package_holds_the_checked_exe_readme_scripts_and_checksums(self):
        program = self.header["RCK_PROGRAM_NAME"]
        self.assertEqual(os.path.basename(self.zips[0]),
                         "rckrv48-%s-win32.zip" % self.header["RCK_VERSION_TEXT"])
        self.assertEqual([program, "README.TXT"] + SCRIPTS + ["SHA256SUMS"],
                         self.package.namelist())
        for name in [program, "README.TXT"] + SCRIPTS:
            self.assertRegex(name, r"^[A-Z0-9_]{1,8}\.[A-Z0-9]{1,3}$")
        for info in self.package.infolist():
            self.assertEqual((1980, 1, 1, 0, 0, 0), info.date_time, info.filename)
        self.assertEqual(self.exe, self.package.read(program))
        self.assertTrue(check_exe.check(os.path.join(self.src[0], EXE), self.header))
        # The scripts as the checkout has them, CR LF line ends and all.
        shipped = [(program, self.exe)]
        for name in SCRIPTS:
            data = self.package.read(name)
            self.assertEqual(read(os.path.join(SOURCE, "deploy", name)), data, name)
            self.assertEqual(data.count(b"\n"), data.count(b"\r\n"), name)
            shipped.append((name, data))
        self.assertEqual("".join("%s  %s\n" % (hashlib.sha256(data).hexdigest(), name)
                                 for name, data in shipped).encode(),
                         self.package.read("SHA256SUMS"))

    def test_readme_txt_is_notepad_text_with_the_readme_usage_and_exit_codes(self):
        data = self.package.read("README.TXT")
        text = data.decode("ascii")
        bare = re.findall(r"\r(?!\n)|(?<!\r)\n", text)
        self.assertEqual(0, len(bare), "line ends other than CR LF")
        lines = text.split("\r\n")
        self.assertEqual(check_exe.v_line(self.header), lines[0])
        self.assertIn(" configures the Windows driver", text)
        with open(os.path.join(SOURCE, "README.md"), encoding="utf-8") as f:
            headings, code, codes = readme_sections(f.read())
        self.assertTrue(headings and code and codes)
        for heading in headings:
            self.assertTrue(heading in lines, "heading %r" % heading)
        for line in code:
            self.assertTrue("    " + line in lines, "code line %r" % line)
        for number in codes:
            self.assertTrue(any(re.match(r"\s+%s\s\s" % number, l) for l in lines),
                            "exit code %s" % number)

    def test_one_version_definition_changes_every_identity(self):
        src = os.path.join(self.tmp, "bumped", "src")
        copy_sources(src)
        header_path = os.path.join(src, "runtime", "version.h")
        header_text = read(header_path).decode()
        for name, value in BUMPED.items():
            header_text, n = re.subn(r"(#define %s ).*" % name, r"\g<1>" + value, header_text)
            self.assertEqual(1, n, name)
        with open(header_path, "w") as f:
            f.write(header_text)
        header = check_exe.read_version_header(header_path)

        # The package name, the version resource and the texts V prints.
        self.assertEqual("rckrv48-7.3-win32.zip", os.path.basename(build_release(src)))
        self.assertTrue(check_exe.check(os.path.join(src, EXE), header))

        # V's line and the driver identity, on the simulated machine.
        run(["cmake", "--preset", "linux", "-DBUILD_TESTING=OFF"], src)
        run(["cmake", "--build", "--preset", "linux", "--target", "rckrv48", "-j", "2"], src)
        program = os.path.join(src, "build", "linux", "cli", "rckrv48")
        v = subprocess.run([program, "V"], capture_output=True)
        self.assertEqual((0, b"RCKRV48.EXE Variant 2, Version 7.3\r\n"), (v.returncode, v.stdout))
        default = read(os.path.join(src, "simwin", "default.machine")).decode()
        for registry, running, command, expected in [
                (False, False, ["H", "1"], 5),
                (True, False, ["H", "1"], 0),
                (True, False, ["W", "1a2b3", "1"], 5),
                (True, True, ["W", "1a2b3", "1"], 0)]:
            machine = default
            for bumped, (old, new) in (registry, REGISTRY_IDENTITY), (running, RUNNING_IDENTITY):
                self.assertIn(old, machine)
                if bumped:
                    machine = machine.replace(old, new)
            path = os.path.join(self.tmp, "bumped", "machine.txt")
            with open(path, "w") as f:
                f.write(machine)
            result = subprocess.run([program] + command, capture_output=True,
                                    env=dict(os.environ, RCKRV48_MACHINE=path))
            self.assertEqual(expected, result.returncode, (registry, running, command))


if __name__ == "__main__":
    SOURCE = os.path.realpath(sys.argv.pop(1))
    unittest.main()
