#!/usr/bin/env python3
"""Checks a built rckrv48.exe: what it imports, the Windows versions it
declares, its size and its version resource.

Usage: check_exe.py --version-header runtime/version.h [--max-size N]
                    [--size-quoted-in DOC] EXE

Prints the import table and the version resource, then fails (exit code 1,
one line per fault) when
- a function is imported from another DLL or is not one of the platform
  functions the program may use (it must load on a Windows 95 that has no
  C runtime DLL),
- the operating-system or subsystem version is not 4.0, the subsystem is not
  the console, or the section layout would not load on Windows 95,
- the file is larger than N bytes (N 0: no limit),
- DOC (docs/benchmark.md) quotes another size than the file has in the
  benchmark's row SHIPPED_SIZE_ROW, as the run quoted there printed it,
- the version resource disagrees with what the V command prints, or the
  program no longer holds the texts V prints,
- the i686 exe holds an instruction that the 80386 does not have (each one
  named with its address; I386_INSTRUCTIONS below).
"""

import argparse
import os
import re
import struct
import subprocess
import sys

# Every function the program may import, by DLL: the platform functions the
# simulated machine lists.
ALLOWED_IMPORTS = {}
with open(os.path.join(os.path.dirname(__file__), "..", "simwin", "platform_calls.def")) as f:
    for function, dll in re.findall(r"^RCK_PLATFORM_CALL\((\w+), (\w+),", f.read(), re.M):
        ALLOWED_IMPORTS.setdefault(dll + ".DLL", set()).add(function)

V_FORMAT = b"%s Variant %d, Version %s\n"

# The benchmark's row for the size of the shipped exe (tools/benchmark.py),
# and the most the shipped exe may have.
SHIPPED_SIZE_ROW = "Size of rckrv48.exe, i686 (shipped)"
SIZE_LIMIT = 16384

# The i686 exe must run on the processors of Windows 95 and NT 4, which have
# no conditional moves, no byte swap and no compare-exchange, and may have no
# floating-point unit: it may hold only the general-purpose instructions of
# the 80386, as the disassembler spells them in Intel syntax. It is a list of
# what may be there, not of what may not: an instruction missing from it
# fails, whether it came with the 486, the Pentium, the Pentium Pro or later
# (CMOVcc, BSWAP, CMPXCHG, CMPXCHG8B, XADD, CPUID, RDTSC, RDMSR, the long
# NOP), is x87, MMX or SSE, or is one the disassembler cannot decode, "(bad)".
# Input/output, system and coprocessor instructions are left out: the program
# needs none of them.
I386_INSTRUCTIONS = frozenset("""
    mov movzx movsx xchg push pop pusha pushaw popa popaw lea xlat
    lds les lfs lgs lss cbw cwde cwd cdq
    add adc sub sbb inc dec neg cmp mul imul div idiv
    daa das aaa aas aam aad
    and or xor not test sal shl sar shr shld shrd rol ror rcl rcr
    bt btc btr bts bsf bsr
    seto setno setb setae sete setne setbe seta sets setns setp setnp
    setl setge setle setg
    jmp call ret retf iret iretw int int3 into bound
    jo jno jb jae je jne jbe ja js jns jp jnp jl jge jle jg
    jcxz jecxz loop loope loopne
    movs cmps scas lods stos enter leave
    clc stc cmc cld std lahf sahf pushf pushfw popf popfw nop
""".split())
# The prefixes the 80386 knows, as the disassembler prints them before an
# instruction.
I386_PREFIXES = frozenset("lock rep repz repnz cs ds es ss fs gs data16 addr16".split())
MACHINE_I386 = 0x14C
OBJDUMP_I686 = "i686-w64-mingw32-objdump"

DIR_IMPORT, DIR_RESOURCE, DIR_TLS, DIR_DELAY_IMPORT = 1, 2, 9, 13
RT_VERSION = 16
SUBSYSTEM_CONSOLE = 3


class PeError(Exception):
    pass


class Pe:
    """The parts of a PE image that the checks read."""

    def __init__(self, data):
        self.data = data
        if data[:2] != b"MZ":
            raise PeError("not an MZ executable")
        pe = self.u32(0x3C)
        if data[pe:pe + 4] != b"PE\0\0":
            raise PeError("no PE signature")
        self.machine, nsections = struct.unpack_from("<HH", data, pe + 4)
        opt_size = self.u16(pe + 20)
        opt = pe + 24
        magic = self.u16(opt)
        if magic == 0x10B:
            self.pe32plus = False
            dirs_at, ndirs_at = opt + 96, opt + 92
            self.image_base = self.u32(opt + 28)
        elif magic == 0x20B:
            self.pe32plus = True
            dirs_at, ndirs_at = opt + 112, opt + 108
            self.image_base = struct.unpack_from("<Q", data, opt + 24)[0]
        else:
            raise PeError("unknown optional header magic 0x%x" % magic)
        self.entry = self.image_base + self.u32(opt + 16)
        self.section_alignment, self.file_alignment = struct.unpack_from("<II", data, opt + 32)
        self.os_version = struct.unpack_from("<HH", data, opt + 40)
        self.subsystem_version = struct.unpack_from("<HH", data, opt + 48)
        self.subsystem = self.u16(opt + 68)
        ndirs = self.u32(ndirs_at)
        self.dirs = [struct.unpack_from("<II", data, dirs_at + 8 * i) for i in range(ndirs)]
        self.sections = []
        at = opt + opt_size
        for i in range(nsections):
            name, vsize, vaddr, rsize, raddr = struct.unpack_from("<8sIIII", data, at + 40 * i)
            self.sections.append((name.rstrip(b"\0").decode("latin-1"), vaddr, vsize, raddr, rsize))

    def u16(self, off):
        return struct.unpack_from("<H", self.data, off)[0]

    def u32(self, off):
        return struct.unpack_from("<I", self.data, off)[0]

    def directory(self, index):
        return self.dirs[index] if index < len(self.dirs) else (0, 0)

    def offset(self, rva):
        for _, vaddr, vsize, raddr, rsize in self.sections:
            if vaddr <= rva < vaddr + max(vsize, rsize):
                if rva - vaddr >= rsize:
                    raise PeError("RVA 0x%x lies in uninitialised data" % rva)
                return raddr + rva - vaddr
        raise PeError("RVA 0x%x lies in no section" % rva)

    def text_at(self, rva):
        off = self.offset(rva)
        return self.data[off:self.data.index(b"\0", off)].decode("latin-1")

    def imports(self):
        """[(dll, [function name or "#ordinal"])] in table order."""
        rva, size = self.directory(DIR_IMPORT)
        result = []
        if rva == 0:
            return result
        at = self.offset(rva)
        thunk_size, ordinal_bit = (8, 1 << 63) if self.pe32plus else (4, 1 << 31)
        while True:
            lookup, _, _, name, first = struct.unpack_from("<IIIII", self.data, at)
            if lookup == 0 and name == 0 and first == 0:
                return result
            functions = []
            t = self.offset(lookup or first)
            while True:
                entry = int.from_bytes(self.data[t:t + thunk_size], "little")
                if entry == 0:
                    break
                if entry & ordinal_bit:
                    functions.append("#%d" % (entry & 0xFFFF))
                else:
                    functions.append(self.text_at((entry & 0x7FFFFFFF) + 2))
                t += thunk_size
            result.append((self.text_at(name), functions))
            at += 20

    def resources(self, type_id):
        """The data of every resource of the given numeric type."""
        rva, _ = self.directory(DIR_RESOURCE)
        if rva == 0:
            return []
        base = self.offset(rva)
        found = []

        def walk(dir_off, depth):
            named, ids = struct.unpack_from("<HH", self.data, dir_off + 12)
            for i in range(named + ids):
                ident, target = struct.unpack_from("<II", self.data, dir_off + 16 + 8 * i)
                if depth == 0 and ident != type_id:
                    continue
                if target & 0x80000000:
                    walk(base + (target & 0x7FFFFFFF), depth + 1)
                else:
                    data_rva, size = struct.unpack_from("<II", self.data, base + target)
                    off = self.offset(data_rva)
                    found.append(self.data[off:off + size])

        walk(base, 0)
        return found


def parse_version_block(data, off=0):
    """One block of a version resource: (key, wType, value bytes, children)."""
    length, value_length, wtype = struct.unpack_from("<HHH", data, off)
    end = off + length
    at = off + 6
    key_end = at
    while data[key_end:key_end + 2] != b"\0\0":
        key_end += 2
    key = data[at:key_end].decode("utf-16-le")
    at = (key_end + 2 + 3) & ~3
    value_bytes = value_length * 2 if wtype == 1 else value_length
    value = data[at:at + value_bytes]
    at = (at + value_bytes + 3) & ~3
    children = []
    while at < end:
        child = parse_version_block(data, at)
        children.append(child[:4])
        at = (at + child[4] + 3) & ~3
    return key, wtype, value, children, length


def code_extent(pe):
    """(first, end) virtual addresses of the instructions of an i686 exe: its
    .text section but for the constructor and destructor lists that the
    linker puts at the end of it (each a word -1, the addresses of the
    functions and a word 0), which are data. Read from the end, since a
    stripped exe names neither list."""
    text = [s for s in pe.sections if s[0] == ".text"]
    if len(text) != 1:
        raise PeError("%d .text sections, expected 1" % len(text))
    _, vaddr, vsize, raddr, rsize = text[0]
    if vsize > rsize:
        raise PeError(".text has %d bytes in the file, %d in memory" % (rsize, vsize))
    first = pe.image_base + vaddr
    end = first + vsize
    at = raddr + vsize
    for name in ("destructor", "constructor"):
        at -= 4
        if at < raddr or pe.u32(at) != 0:
            raise PeError(".text does not end in the linker's %s list" % name)
        while True:
            at -= 4
            if at < raddr:
                raise PeError(".text does not end in the linker's %s list" % name)
            word = pe.u32(at)
            if word == 0xFFFFFFFF:
                break
            if not first <= word < end:
                raise PeError("the word 0x%x at 0x%x of the %s list is no address of code" %
                              (word, first + at - raddr, name))
    return first, first + at - raddr


def check_instruction_set(pe, path, objdump=OBJDUMP_I686):
    """The faults of the i686 exe at `path` that holds instructions the 80386
    does not have, each with its address."""
    try:
        first, end = code_extent(pe)
        if not first <= pe.entry < end:
            raise PeError("the entry point 0x%x lies outside the code 0x%x-0x%x" %
                          (pe.entry, first, end))
        listing = subprocess.run([objdump, "-d", "-z", "-M", "intel", "--no-show-raw-insn",
                                  "-j", ".text", "--start-address=0x%x" % first,
                                  "--stop-address=0x%x" % end, path],
                                 check=True, capture_output=True, text=True).stdout
    except PeError as e:
        return ["cannot find the code: %s" % e]
    except (OSError, subprocess.CalledProcessError) as e:
        return ["cannot disassemble the code with %s: %s" % (objdump, e)]
    count = 0
    found = []
    for line in listing.splitlines():
        m = re.match(r"\s*([0-9a-f]+):\t(.*)$", line)
        if not m:
            continue
        count += 1
        words = m.group(2).split()
        while len(words) > 1 and words[0] in I386_PREFIXES:
            words.pop(0)
        # NOP with an operand is the long NOP of the Pentium Pro.
        if words[0] not in I386_INSTRUCTIONS or (words[0] == "nop" and len(words) > 1):
            found.append((int(m.group(1), 16), " ".join(m.group(2).split())))
    if count == 0:
        return ["cannot find the code: %s decodes no instruction in 0x%x-0x%x" %
                (objdump, first, end)]
    print("  code: %d instructions, %d of them not of the 80386" % (count, len(found)))
    return ["0x%x: %s: not an instruction of the 80386" % f for f in found]


def read_version_info(pe):
    """(file version tuple, {string name: text}) of the version resource."""
    blocks = pe.resources(RT_VERSION)
    if len(blocks) != 1:
        raise PeError("%d version resources, expected 1" % len(blocks))
    key, _, fixed, children, _ = parse_version_block(blocks[0])
    if key != "VS_VERSION_INFO" or len(fixed) < 52:
        raise PeError("malformed version resource")
    signature, _, ms, ls = struct.unpack_from("<IIII", fixed, 0)
    if signature != 0xFEEF04BD:
        raise PeError("version resource without its fixed part")
    version = (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)
    strings = {}
    for ckey, _, _, tables in children:
        if ckey != "StringFileInfo":
            continue
        for _, _, _, entries in tables:
            for name, _, text, _ in entries:
                strings[name] = text.decode("utf-16-le").rstrip("\0")
    return version, strings


def v_line(header):
    """The line that the V command prints, without its line end."""
    return "%s Variant %d, Version %s" % (header["RCK_PROGRAM_NAME"], header["RCK_VARIANT"],
                                          header["RCK_VERSION_TEXT"])


def read_version_header(path):
    defines = {}
    with open(path, encoding="latin-1") as f:
        for line in f:
            m = re.match(r'\s*#define\s+(RCK_\w+)\s+(.+?)\s*$', line)
            if m:
                value = m.group(2)
                defines[m.group(1)] = value[1:-1] if value.startswith('"') else int(value)
    return defines


def quoted_size(doc):
    """The size in bytes that the benchmark run quoted in `doc` gives for the
    shipped exe, or None when it has no such row."""
    with open(doc, encoding="utf-8") as f:
        for line in f:
            cells = [c.strip() for c in line.strip().strip("|").split("|")]
            if len(cells) > 1 and cells[0] == SHIPPED_SIZE_ROW:
                m = re.fullmatch(r"([\d ]+) B", cells[1])
                return int(m.group(1).replace(" ", "")) if m else None
    return None


def check(path, header, max_size=SIZE_LIMIT, size_doc=None):
    with open(path, "rb") as f:
        data = f.read()
    pe = Pe(data)
    faults = []
    print("%s: %d bytes, machine 0x%x" % (path, len(data), pe.machine))
    print("  operating system version %d.%d, subsystem %d version %d.%d" %
          (pe.os_version + (pe.subsystem,) + pe.subsystem_version))

    if max_size and len(data) > max_size:
        faults.append("%d bytes, more than %d" % (len(data), max_size))
    if size_doc:
        quoted = quoted_size(size_doc)
        if quoted != len(data):
            faults.append("%s quotes %s bytes for the shipped exe, the build makes %d: quote a "
                          "new run of tools/benchmark.py" % (size_doc, quoted, len(data)))
    for name, version in (("operating system", pe.os_version), ("subsystem", pe.subsystem_version)):
        if version != (4, 0):
            faults.append("%s version %d.%d, expected 4.0" % ((name,) + version))
    if pe.subsystem != SUBSYSTEM_CONSOLE:
        faults.append("subsystem %d, expected the console (3)" % pe.subsystem)
    if (pe.section_alignment, pe.file_alignment) != (4096, 512):
        faults.append("section and file alignment %d and %d; Windows 95 loads 4096 and 512" %
                      (pe.section_alignment, pe.file_alignment))
    if pe.directory(DIR_TLS)[0]:
        faults.append("a thread-local storage directory, which only a C runtime brings")
    if pe.directory(DIR_DELAY_IMPORT)[0]:
        faults.append("delay-loaded imports")

    print("  imports:")
    for dll, functions in pe.imports():
        print("    %s: %s" % (dll, " ".join(functions)))
        allowed = ALLOWED_IMPORTS.get(dll.upper())
        if allowed is None:
            faults.append("imports from %s: %s" % (dll, " ".join(functions)))
            continue
        for name in functions:
            if name not in allowed:
                faults.append("imports %s from %s" % (name, dll))

    version, strings = read_version_info(pe)
    print("  version resource: %d.%d.%d.%d" % version)
    for name in sorted(strings):
        print("    %s: %s" % (name, strings[name]))
    program = header["RCK_PROGRAM_NAME"]
    text = header["RCK_VERSION_TEXT"]
    expected = {"FileDescription": v_line(header), "FileVersion": text, "OriginalFilename": program}
    for name, value in expected.items():
        if strings.get(name) != value:
            faults.append("version resource %s is %r, V prints %r" % (name, strings.get(name), value))
    numeric = "%d.%d" % version[:2]
    if numeric != text or version[2:] != (0, 0):
        faults.append("version resource file version %d.%d.%d.%d, V prints %s" % (version + (text,)))
    for needed in (V_FORMAT, program.encode("latin-1"), text.encode("latin-1")):
        if needed not in data:
            faults.append("the program does not hold %r, which V prints" % needed)

    if pe.machine == MACHINE_I386:
        faults.extend(check_instruction_set(pe, path))

    for fault in faults:
        print("FAULT: %s" % fault)
    return not faults


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--version-header", required=True)
    parser.add_argument("--max-size", type=int, default=0)
    parser.add_argument("--size-quoted-in", metavar="DOC")
    parser.add_argument("exe")
    args = parser.parse_args()
    try:
        ok = check(args.exe, read_version_header(args.version_header), args.max_size,
                   args.size_quoted_in)
    except (PeError, struct.error, ValueError, KeyError, OSError) as e:
        print("FAULT: %s: cannot read: %s" % (args.exe, e))
        ok = False
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
