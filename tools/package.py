#!/usr/bin/env python3
"""Makes the release package of the shipped program (docs/windows-build.md):
a zip named after the program and its version (rckrv48-6.14-win32.zip) with
the exe under the name the version header gives it, README.TXT (made by
pandoc from the parts of README.md between BEGIN and END, under a first line
naming the program as V does), the deployment scripts given with --script,
byte for byte (each with an 8.3 name, ASCII with CR LF line ends, as
COMMAND.COM and Notepad want them), and SHA256SUMS of the exe and the
scripts, in the form `sha256sum -c` reads. The same inputs give the same
zip bytes: the entries are stored in that order, with one fixed time stamp
and fixed attributes.

Usage: package.py --version-header runtime/version.h --readme README.md
                  [--script FILE]... --out DIR EXE
Prints the path of the zip it wrote.
"""

import argparse
import hashlib
import os
import re
import subprocess
import sys
import zipfile

from check_exe import read_version_header, v_line

BEGIN = "<!-- README.TXT begin -->"
END = "<!-- README.TXT end -->"
# The earliest time a zip can hold: no build's own time goes into the package.
FIXED_TIME = (1980, 1, 1, 0, 0, 0)


def package_name(header):
    """rckrv48-6.14-win32.zip for RCKRV48.EXE, version 6.14."""
    stem = os.path.splitext(header["RCK_PROGRAM_NAME"])[0].lower()
    return "%s-%s-win32.zip" % (stem, header["RCK_VERSION_TEXT"])


def readme_parts(markdown):
    """The lines of README.md between each begin marker and the next end marker."""
    parts, inside = [], None
    for line in markdown.splitlines():
        if line.strip() == BEGIN and inside is None:
            inside = []
        elif line.strip() == END and inside is not None:
            parts.append("\n".join(inside))
            inside = None
        elif inside is not None:
            inside.append(line)
    if inside is not None or not parts:
        raise ValueError("README.md: no complete %s ... %s part" % (BEGIN, END))
    return "\n\n".join(parts) + "\n"


def readme_txt(header, markdown):
    """README.TXT as bytes: ASCII, CR LF line ends, prose in 76 columns."""
    title = v_line(header)
    body = subprocess.run(["pandoc", "--from", "markdown-smart", "--to", "plain", "--columns", "76",
                           "--shift-heading-level-by=-1", "--eol", "crlf"],
                          input=readme_parts(markdown).encode("utf-8"), capture_output=True,
                          check=True).stdout
    # Notepad shows the text in the ANSI code page, where anything beyond
    # ASCII can come out as another character.
    try:
        body.decode("ascii")
    except UnicodeDecodeError as e:
        line = body[:e.start].count(b"\n") + 1
        sys.exit("package.py: README.TXT line %d holds a character beyond ASCII: %r" %
                 (line, body.split(b"\n")[line - 1].strip()))
    return ("%s\r\n%s\r\n\r\n" % (title, "=" * len(title))).encode("ascii") + body


def script_entry(path):
    """(name, bytes) of a deployment script, after checking it can ship."""
    name = os.path.basename(path)
    with open(path, "rb") as f:
        data = f.read()
    if not re.match(r"^[A-Z0-9_]{1,8}\.[A-Z0-9]{1,3}$", name):
        sys.exit("package.py: %s is not an upper-case 8.3 name" % name)
    try:
        data.decode("ascii")
    except UnicodeDecodeError as e:
        sys.exit("package.py: %s: byte %d is not ASCII" % (name, e.start))
    if re.search(rb"\r(?!\n)|(?<!\r)\n", data) or not data.endswith(b"\r\n"):
        sys.exit("package.py: %s: a line end that is not CR LF (a checkout that converted "
                 "line ends?)" % name)
    return name, data


def write_package(path, entries):
    with zipfile.ZipFile(path, "w") as z:
        for name, data in entries:
            info = zipfile.ZipInfo(name, date_time=FIXED_TIME)
            info.compress_type = zipfile.ZIP_DEFLATED
            info.create_system = 0  # MS-DOS: external_attr holds DOS attributes
            info.external_attr = 0x20  # archive
            z.writestr(info, data, compresslevel=9)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--version-header", required=True)
    parser.add_argument("--readme", required=True)
    parser.add_argument("--script", action="append", default=[],
                        help="a deployment script to ship beside the exe")
    parser.add_argument("--out", required=True)
    parser.add_argument("exe")
    args = parser.parse_args()

    header = read_version_header(args.version_header)
    with open(args.exe, "rb") as f:
        exe = f.read()
    with open(args.readme, encoding="utf-8") as f:
        readme = readme_txt(header, f.read())
    name = header["RCK_PROGRAM_NAME"]
    scripts = [script_entry(p) for p in args.script]
    sums = "".join("%s  %s\n" % (hashlib.sha256(data).hexdigest(), n)
                   for n, data in [(name, exe)] + scripts).encode("ascii")

    os.makedirs(args.out, exist_ok=True)
    path = os.path.join(args.out, package_name(header))
    write_package(path, [(name, exe), ("README.TXT", readme)] + scripts + [("SHA256SUMS", sums)])
    print(path)
    return 0


if __name__ == "__main__":
    sys.exit(main())
