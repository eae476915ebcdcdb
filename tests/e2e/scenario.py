"""Reading end-to-end scenario files and REGEDIT4 text.

Shared by the runner on the Linux executable and the runner under Wine; the
format is described in docs/scenarios.md.
"""

import os
import re
import shlex
import subprocess
import tempfile

REG_SZ = 1
REG_DWORD = 4
REG_BINARY = 3

FAMILY_VERSIONS = {
    # family: (platform id, major, minor, build, service pack text)
    "win95": (1, 4, 0, 0x040003B6, ""),
    "win98": (1, 4, 10, 0x040A08AE, " A "),
    "nt4": (2, 4, 0, 1381, "Service Pack 6"),
    "win2000": (2, 5, 0, 2195, "Service Pack 4"),
}


def machine_text(family, machine_lines, registry_lines):
    """A machine file of the Windows family with the machine-file lines and
    the registry (REGEDIT4 lines without the header)."""
    platform, major, minor, build, csd = FAMILY_VERSIONS[family]
    out = ["RCKRV48 MACHINE 1", "[Windows]",
           "PlatformId=%d" % platform, "MajorVersion=%d" % major,
           "MinorVersion=%d" % minor, "BuildNumber=0x%X" % build,
           'CSDVersion="%s"' % csd, ""]
    return "\n".join(out + machine_lines + ["", "REGEDIT4", ""] + registry_lines) + "\n"


# How a scenario's program may be started besides directly: through one of
# the deployment scripts shipped beside it (deploy/), which run W with the
# scenario's arguments. "on PATH": from another folder, the scripts' folder on
# the PATH.
SCRIPTS = ("SETKEY.BAT", "SETKEY.BAT on PATH", "SETKEY.VBS")


class ScenarioError(Exception):
    pass


class Scenario:
    def __init__(self, name, path, line):
        self.name = name
        self.path = path
        self.line = line
        self.family = None
        self.registry_lines = []
        self.machine_lines = []
        self.args = None
        self.through = None
        self.code_page = None
        self.exit = None
        self.stdout = b""
        self.change_lines = []
        self.expect_machine = []

    def where(self):
        return "%s:%d" % (os.path.basename(self.path), self.line)

    def args_in_code_page(self):
        """The arguments as the program receives them: in the scenario's code
        page, or as written when it names none."""
        if self.code_page is None:
            return self.args
        return [a.encode("cp%d" % self.code_page) for a in self.args]

    def program_args(self):
        """The arguments the program itself gets: a deployment script runs W
        with the scenario's."""
        return ["W"] + self.args if self.through else self.args


def _unquote_stdout(text, where):
    text = text.strip()
    if len(text) < 2 or text[0] != '"' or text[-1] != '"':
        raise ScenarioError("%s: stdout must be a double-quoted text" % where)
    out = bytearray()
    i = 1
    while i < len(text) - 1:
        c = text[i]
        if c == "\\":
            i += 1
            e = text[i]
            out += {"n": b"\n", "r": b"\r", "t": b"\t", "\\": b"\\", '"': b'"'}.get(e, None) or b""
            if e not in 'nrt\\"':
                raise ScenarioError("%s: unknown escape \\%s in stdout" % (where, e))
        else:
            out += c.encode("latin-1")
        i += 1
    return bytes(out)


# The host's rck_keytext (tools/keytext.cpp), which makes the `keytext`
# texts: RCK_KEYTEXT, else the one the linux preset builds.
DEFAULT_KEYTEXT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "build",
                               "linux", "tools", "rck_keytext")

_key_texts = {}


def key_text(args, where):
    """The text rck_keytext prints for the key record its arguments describe."""
    tool = os.environ.get("RCK_KEYTEXT") or DEFAULT_KEYTEXT
    if (tool, args) not in _key_texts:
        try:
            proc = subprocess.run([tool] + [a.encode("latin-1") for a in args],
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        except OSError as e:
            raise ScenarioError("%s: cannot run %s (%s); build the linux preset or set "
                                "RCK_KEYTEXT" % (where, tool, e.strerror))
        if proc.returncode != 0:
            raise ScenarioError("%s: rck_keytext refuses %s: %s" %
                                (where, " ".join(args), proc.stderr.decode("latin-1").strip()))
        _key_texts[(tool, args)] = proc.stdout.decode("latin-1").rstrip("\n")
    return _key_texts[(tool, args)]


# Keywords whose value is the block of indented lines below them.
BLOCKS = {"registry": "registry_lines", "machine": "machine_lines",
          "changes": "change_lines", "expect-machine": "expect_machine"}


def _keyword(key, value, where):
    """(attribute, value) of a one-line keyword of a scenario."""
    if key == "family":
        if value not in FAMILY_VERSIONS:
            raise ScenarioError("%s: unknown family %s" % (where, value))
        return "family", value
    if key == "run":
        return "args", shlex.split(value)
    if key == "through":
        if value not in SCRIPTS:
            raise ScenarioError("%s: through one of %s, not %s" % (where, ", ".join(SCRIPTS), value))
        return "through", value
    if key == "codepage":
        if value not in ("932", "1252"):
            raise ScenarioError("%s: code page 932 or 1252, not %s" % (where, value))
        return "code_page", int(value)
    if key == "exit":
        return "exit", int(value)
    if key == "stdout":
        return "stdout", _unquote_stdout(value, where)
    raise ScenarioError("%s: unknown keyword %s" % (where, key))


def load_scenarios(path):
    """Returns the scenarios of one file."""
    base = os.path.dirname(os.path.abspath(path))
    variables = {}
    # Each scenario and each defaults section: the keywords it states, in
    # order, as [keyword, value]; a block's value is its list of lines.
    sections = []
    current = None
    defaults = ("", [])
    block = None

    def subst(text, where):
        def repl(m):
            if m.group(1) not in variables:
                raise ScenarioError("%s: unknown variable %s" % (where, m.group(1)))
            return variables[m.group(1)]
        return re.sub(r"\$\{([A-Za-z0-9_]+)\}", repl, text)

    def define(stripped, where, folder, using):
        """Takes a definition line; False when the line is none. `use` names
        a file relative to `folder`."""
        m = re.match(r"(let|keytext|keytext-raw|repeat)\s+([A-Za-z0-9_]+)\s*=\s*(.*)$", stripped)
        if m and m.group(1) == "let":
            variables[m.group(2)] = m.group(3)
        elif m and m.group(1) == "repeat":
            count, _, text = m.group(3).partition(" ")
            if not count.isdigit() or text.strip() == "":
                raise ScenarioError("%s: repeat NAME = COUNT TEXT" % where)
            text = text.strip()
            variables[m.group(2)] = (text * (int(count) // len(text) + 1))[:int(count)]
        elif m:
            text = key_text(tuple(shlex.split(m.group(3))), where)
            variables[m.group(2)] = text if m.group(1) == "keytext-raw" else text.replace("\\", "\\\\")
        elif stripped.startswith("let "):
            raise ScenarioError("%s: bad let" % where)
        elif stripped.startswith("use "):
            name = os.path.normpath(os.path.join(folder, stripped[4:].strip()))
            if name in using:
                raise ScenarioError("%s: %s uses itself" % (where, name))
            with open(name, encoding="latin-1") as f:
                for number, raw in enumerate(f.read().split("\n"), 1):
                    here = "%s:%d" % (name, number)
                    line = subst(raw.rstrip("\r"), here).strip()
                    if line and not line.startswith("#") and not define(
                            line, here, os.path.dirname(name), using | {name}):
                        raise ScenarioError("%s: only definitions may stand here" % here)
        else:
            return False
        return True

    with open(path, encoding="latin-1") as f:
        lines = f.read().split("\n")
    for number, raw in enumerate(lines, 1):
        where = "%s:%d" % (path, number)
        line = subst(raw.rstrip("\r"), where)
        if block is not None and (line.startswith("  ") or line.strip() == ""):
            if line.strip() != "":
                block.append(line[2:])
            continue
        block = None
        stripped = line.strip()
        if stripped == "" or stripped.startswith("#") or define(stripped, where, base, {os.path.abspath(path)}):
            continue
        if stripped.startswith("==="):
            name = stripped[3:].strip()
            if defaults[0]:
                name = "%s: %s" % (defaults[0], name)
            current = []
            sections.append((Scenario(name, path, number), defaults[1], current))
            continue
        key, sep, value = stripped.partition(":")
        key = key.strip()
        value = value.strip()
        if sep and key == "defaults":
            # The keywords up to the next scenario are the defaults of the
            # scenarios that follow; the text names them.
            defaults = (value, [])
            current = defaults[1]
            continue
        if current is None:
            raise ScenarioError("%s: text before the first scenario" % where)
        if not sep:
            raise ScenarioError("%s: expected keyword: value" % where)
        if key == "include":
            with open(os.path.join(base, value), encoding="latin-1") as f:
                current.append([key, [subst(l.rstrip("\r"), where) for l in f.read().split("\n")]])
        elif key in BLOCKS:
            block = []
            current.append([key, block])
        else:
            current.append([key, _keyword(key, value, where)])
    scenarios = []
    for s, given, stated in sections:
        # What the defaults give and the scenario does not state comes first.
        own = {key for key, _ in stated}
        for key, value in [i for i in given if i[0] not in own] + stated:
            if key in ("include", "registry"):
                s.registry_lines += value
            elif key in BLOCKS:
                setattr(s, BLOCKS[key], getattr(s, BLOCKS[key]) + value)
            else:
                setattr(s, value[0], value[1])
        if s.family is None or s.args is None or s.exit is None:
            raise ScenarioError("%s: a scenario needs family, run and exit" % s.where())
        if s.code_page is not None:
            # The file is read byte for byte; a run line with a code page
            # holds UTF-8 text.
            s.args = [a.encode("latin-1").decode("utf-8") for a in s.args]
        scenarios.append(s)
    return scenarios


# ---- REGEDIT4 ----------------------------------------------------------------

def _parse_string(text, where):
    assert text[0] == '"'
    out = []
    i = 1
    while i < len(text):
        c = text[i]
        if c == "\\" and i + 1 < len(text):
            out.append(text[i + 1])
            i += 2
            continue
        if c == '"':
            return "".join(out), text[i + 1:]
        out.append(c)
        i += 1
    raise ScenarioError("%s: unterminated string" % where)


def parse_regedit(lines, where="registry"):
    """REGEDIT4 lines -> {key_lower: (key_name, {value_lower: (name, type, bytes)})}.

    Also returns the keys and values marked for deletion ([-KEY], "Name"=-).
    """
    keys = {}
    deleted_keys = set()
    deleted_values = set()
    current = None
    joined = []
    pending = ""
    for l in lines:
        l = l.rstrip("\r")
        if pending:
            l = pending + l.lstrip()
            pending = ""
        if l.endswith("\\") and not l.lstrip().startswith("["):
            pending = l[:-1]
            continue
        joined.append(l)
    for l in joined:
        s = l.strip()
        if s == "" or s.startswith(";") or s == "REGEDIT4":
            continue
        if s.startswith("[") and s.endswith("]"):
            name = s[1:-1]
            if name.startswith("-"):
                deleted_keys.add(name[1:].lower())
                current = None
                continue
            parts = name.split("\\")
            # Every key on the path exists.
            for n in range(1, len(parts) + 1):
                k = "\\".join(parts[:n])
                keys.setdefault(k.lower(), (k, {}))
            current = keys[name.lower()]
            continue
        if current is None:
            raise ScenarioError("%s: value outside a key: %s" % (where, s))
        if s.startswith("@="):
            vname, rest = "", s[2:]
        elif s.startswith('"'):
            vname, rest = _parse_string(s, where)
            if not rest.startswith("="):
                raise ScenarioError("%s: expected = in %s" % (where, s))
            rest = rest[1:]
        else:
            raise ScenarioError("%s: bad line %s" % (where, s))
        if rest == "-":
            deleted_values.add((current[0].lower(), vname.lower()))
            continue
        if rest.startswith('"'):
            text, tail = _parse_string(rest, where)
            vtype, data = REG_SZ, text.encode("latin-1") + b"\0"
        elif rest.lower().startswith("dword:"):
            vtype, data = REG_DWORD, int(rest[6:], 16).to_bytes(4, "little")
        elif rest.lower().startswith("hex"):
            m = re.match(r"hex(?:\(([0-9a-fA-F]+)\))?:(.*)$", rest)
            if not m:
                raise ScenarioError("%s: bad hex value %s" % (where, rest))
            vtype = int(m.group(1), 16) if m.group(1) else REG_BINARY
            hexes = [h.strip() for h in m.group(2).split(",") if h.strip()]
            data = bytes(int(h, 16) for h in hexes)
        else:
            raise ScenarioError("%s: bad value %s" % (where, s))
        current[1][vname.lower()] = (vname, vtype, data)
    return keys, deleted_keys, deleted_values


def apply_changes(start, change_lines):
    expected = {k: (v[0], dict(v[1])) for k, v in start.items()}
    changes, deleted_keys, deleted_values = parse_regedit(change_lines, "changes")
    for k, (name, values) in changes.items():
        entry = expected.setdefault(k, (name, {}))
        entry[1].update(values)
    for k in deleted_keys:
        for key in list(expected):
            if key == k or key.startswith(k + "\\"):
                del expected[key]
    for k, v in deleted_values:
        if k in expected:
            expected[k][1].pop(v, None)
    return expected


def describe_value(v):
    name, vtype, data = v
    if vtype == REG_SZ and data.endswith(b"\0") and b"\0" not in data[:-1]:
        return '"%s"="%s"' % (name, data[:-1].decode("latin-1"))
    if vtype == REG_DWORD and len(data) == 4:
        return '"%s"=dword:%08x' % (name, int.from_bytes(data, "little"))
    return '"%s"=hex(%x):%s' % (name, vtype, ",".join("%02x" % b for b in data))


def compare_registry(expected, actual):
    """Returns a list of differences, empty when both are the same."""
    diffs = []
    for k in sorted(set(expected) | set(actual)):
        if k not in actual:
            diffs.append("missing key [%s]" % expected[k][0])
            continue
        if k not in expected:
            diffs.append("unexpected key [%s]" % actual[k][0])
            continue
        ev, av = expected[k][1], actual[k][1]
        for v in sorted(set(ev) | set(av)):
            if v not in av:
                diffs.append("[%s] missing %s" % (expected[k][0], describe_value(ev[v])))
            elif v not in ev:
                diffs.append("[%s] unexpected %s" % (actual[k][0], describe_value(av[v])))
            elif ev[v][1:] != av[v][1:]:
                diffs.append("[%s] expected %s, got %s" % (expected[k][0], describe_value(ev[v]),
                                                          describe_value(av[v])))
    return diffs


def sections(lines):
    """[(header, [(line number, text)])] of machine-file lines up to REGEDIT4,
    as the simulated machine reads them: without blank lines and comments."""
    out = []
    for number, raw in enumerate(lines, 1):
        s = raw.strip()
        if s == "REGEDIT4":
            break
        if s.startswith("[") and s.endswith("]"):
            out.append((s[1:-1].strip(), []))
        elif s and not s.startswith(";") and not s.startswith("#") and out:
            out[-1][1].append((number, s))
    return out


def machine_sections(text):
    """The sections of a machine file: {header_lower: [lines]}."""
    merged = {}
    for header, lines in sections(text.split("\n")):
        merged.setdefault(header.lower(), []).extend(s for _, s in lines)
    return merged


def expected_machine_lines(scenario):
    """[(section header, line)] from an expect-machine block."""
    wanted = []
    header = None
    for l in scenario.expect_machine:
        s = l.strip()
        if s.startswith("[") and s.endswith("]"):
            header = s[1:-1].strip()
        elif s:
            if header is None:
                raise ScenarioError("%s: expect-machine line outside a section" % scenario.where())
            wanted.append((header, s))
    return wanted


def report(s, problems):
    """Prints one scenario's outcome; returns 1 when it failed."""
    if problems:
        print("FAIL %s %s" % (s.where(), s.name))
        for p in problems:
            print("     %s" % p)
        return 1
    print("ok   %s %s" % (s.where(), s.name))
    return 0


def outcome_problems(s, proc):
    """What the program's standard error, exit code and standard output say
    against the scenario's expectations."""
    problems = []
    if proc.stderr:
        problems.append("standard error: %r" % proc.stderr)
    if proc.returncode != s.exit:
        problems.append("exit code %d, expected %d" % (proc.returncode, s.exit))
    if proc.stdout != s.stdout:
        problems.append("stdout %r, expected %r" % (proc.stdout, s.stdout))
    return problems


def play_runner(command, scenarios):
    """Runs a scenario runner (`command` without the file) on the scenarios
    `scenarios` whose names end in the verdict each must get: "must pass", or
    "must fail: TEXT" / "must skip: TEXT" with a text its report holds.
    Returns the runner's output, its exit code and what is wrong with its
    verdicts."""
    with tempfile.TemporaryDirectory() as d:
        path = os.path.join(d, "runner.scn")
        with open(path, "w", encoding="latin-1") as f:
            f.write(scenarios)
        proc = subprocess.run(command + [path], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                              timeout=600)
    output = proc.stdout.decode("latin-1")
    # The report by scenario: its verdict line and the lines below.
    reports = []
    for line in output.splitlines():
        if line.startswith(("ok   ", "FAIL ", "skip ")):
            reports.append([line])
        elif line.startswith("     ") and reports:
            reports[-1].append(line)
    names = [l[4:].strip() for l in scenarios.splitlines() if l.startswith("=== ")]
    problems = []
    if len(reports) != len(names):
        problems.append("%d reports for %d scenarios" % (len(reports), len(names)))
    for name, report in zip(names, reports):
        verdict, _, wanted = name.partition(", must ")[2].partition(": ")
        said = "\n".join(report)
        head = {"pass": "ok", "fail": "FAIL", "skip": "skip"}[verdict]
        if not report[0].startswith(head) or wanted not in said:
            problems.append("%s: the runner said\n%s" % (name, said))
    return output, proc.returncode, problems
