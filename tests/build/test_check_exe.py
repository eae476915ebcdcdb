#!/usr/bin/env python3
"""The build check of the Windows executable must fail on each fault it is
there for. Takes a built rckrv48.exe, spoils copies of it one way at a time
and runs tools/check_exe.py on each.

Usage: test_check_exe.py EXE VERSION_HEADER
"""

import contextlib
import io
import os
import re
import struct
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tools"))
import check_exe  # noqa: E402

EXE = VERSION_HEADER = None


def utf16(text):
    return text.encode("utf-16-le")


class CheckExeTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        with open(EXE, "rb") as f:
            cls.image = f.read()
        cls.header = check_exe.read_version_header(VERSION_HEADER)
        cls.optional = struct.unpack_from("<I", cls.image, 0x3C)[0] + 24

    def check(self, image, max_size=check_exe.SIZE_LIMIT):
        """The check's verdict and its printed lines for a spoiled image."""
        with tempfile.TemporaryDirectory() as d:
            path = os.path.join(d, "rckrv48.exe")
            with open(path, "wb") as f:
                f.write(image)
            out = io.StringIO()
            with contextlib.redirect_stdout(out):
                ok = check_exe.check(path, self.header, max_size)
        return ok, out.getvalue()

    def assertFault(self, image, text):
        ok, output = self.check(image)
        self.assertFalse(ok, output)
        faults = [l for l in output.splitlines() if l.startswith("FAULT")]
        self.assertTrue(any(text in l for l in faults), output)

    def test_built_executable_passes_and_shows_its_imports(self):
        ok, output = self.check(self.image)
        self.assertTrue(ok, output)
        self.assertIn("wsprintfA", output)
        self.assertIn("FileDescription: RCKRV48.EXE Variant 1, Version 6.14", output)

    def test_fields_other_than_what_windows_95_loads_and_v_prints(self):
        fixed = self.image.index(struct.pack("<I", 0xFEEF04BD))
        for at, fields, text in ((self.optional + 40, (5, 0), "operating system version 5.0"),
                                 (self.optional + 48, (4, 10), "subsystem version 4.10"),
                                 (fixed + 8, (15, 6), "file version 6.15.0.0")):
            with self.subTest(text):
                image = bytearray(self.image)
                struct.pack_into("<HH", image, at, *fields)
                self.assertFault(bytes(image), text)

    def test_size_limit(self):
        self.assertFault(self.image + bytes(16384), "more than 16384")
        self.assertTrue(self.check(self.image + bytes(16384), max_size=0)[0])

    def test_imports_and_texts_other_than_allowed_and_v_prints(self):
        for old, new, text in (
                (b"GetLastError\0", b"GetLastErroX\0", "imports GetLastErroX from KERNEL32"),
                (b"USER32.dll\0", b"MSVCRT.dll\0", "imports from MSVCRT.dll"),
                (utf16("Variant 1, Version 6.14"), utf16("Variant 1, Version 6.15"),
                 "FileDescription"),
                (utf16("RCKRV48.EXE\0"), utf16("RCKRV49.EXE\0"), "OriginalFilename"),
                (b"%s Variant %d, Version %s\n", b"%s Variant %d. Version %s\n", "which V prints")):
            with self.subTest(text):
                self.assertEqual(len(old), len(new))
                self.assertIn(old, self.image)
                self.assertFault(self.image.replace(old, new, 1), text)

    def code(self):
        """The i686 exe's .text (address, size, file offset), its entry point
        and where its instructions end; the x86_64 exe may use any."""
        pe = check_exe.Pe(self.image)
        if pe.machine != check_exe.MACHINE_I386:
            self.skipTest("x86_64 exe")
        _, vaddr, vsize, raddr, _ = next(s for s in pe.sections if s[0] == ".text")
        # The program has no constructors or destructors (nothing would run
        # them): the linker's two lists are a word -1 and a word 0 each.
        first = pe.image_base + vaddr
        return first, vsize, raddr, pe.entry, first + vsize - 16

    def patched(self, address, code):
        first, _, raddr, _, _ = self.code()
        at = raddr + address - first
        return self.image[:at] + code + self.image[at + len(code):]

    def test_instructions_that_came_after_the_80386(self):
        entry = self.code()[3]
        for code, mnemonic in ((b"\x0f\x47\xc2", "cmova"),  # Pentium Pro
                               (b"\x0f\x1f\x00", "nop"),  # its long NOP
                               (b"\x0f\xc8", "bswap"),  # 486
                               (b"\x0f\xb1\x0a", "cmpxchg"),
                               (b"\x0f\xa2", "cpuid"),  # Pentium
                               (b"\x0f\x31", "rdtsc"),
                               (b"\xd9\xe8", "fld1"),  # x87
                               (b"\x0f\x6f\xc1", "movq"),  # MMX
                               (b"\x0f\x28\xc1", "movaps")):  # SSE
            with self.subTest(mnemonic):
                ok, output = self.check(self.patched(entry, code))
                self.assertFalse(ok, output)
                self.assertRegex(output, r"(?m)^FAULT: 0x%x: %s[ :]" % (entry, mnemonic))

    def test_code_checked_up_to_the_constructor_list(self):
        # Single-byte NOPs bring the disassembly into step whatever
        # instruction they cut; then come instructions of the 80386 with
        # prefixes (rep movs, lock add) and, last before the list, a cmove.
        end = self.code()[4]
        tail = b"\xf3\xa5" + b"\xf0\x01\x18" + b"\x0f\x44\xd8"
        ok, output = self.check(self.patched(end - 64, b"\x90" * (64 - len(tail)) + tail))
        self.assertFalse(ok, output)
        self.assertEqual(re.findall(r"(?m)^FAULT: (0x[0-9a-f]+: \w+)", output),
                         ["0x%x: cmove" % (end - 3)])

    def test_code_section_not_ending_in_the_linker_lists(self):
        first, size, _, _, _ = self.code()
        self.assertFault(self.patched(first + size - 4, b"\x01\0\0\0"),
                         "does not end in the linker's destructor list")


if __name__ == "__main__":
    EXE, VERSION_HEADER = sys.argv[1], sys.argv[2]
    unittest.main(argv=sys.argv[:1], verbosity=2)
