"""The test card driver in a Wine prefix, for the end-to-end scenarios.

The scenarios describe the card driver in [Device NAME] sections of their
`machine:` block and check what it received in `expect-machine:`; on Linux
the simulated machine reads and writes those sections. Under Wine the same
sections become the Parameters of the test card driver (testdriver/), a real
kernel driver that the program reaches through CreateFileA and
DeviceIoControl, and what the driver wrote back into its registry key is
rendered again as machine-file lines in the form the simulated machine
writes them, so the same expectations apply.

    paths = build("build/testdriver")      # testcard.sys and cardclient.exe
    driver = CardDriver(wine, paths["driver"])
    driver.install()                       # once per process
    reason = unsupported(s.machine_lines)  # None, or why Wine cannot play it
    driver.configure(s.machine_lines)      # before each scenario
    ... run the program ...
    sections = driver.machine_sections()   # {"device pccard0-0": [lines]}
    reason = not_checkable(header, line)   # an expectation Wine cannot show
    driver.remove()                        # the prefix as install() found it

`wine` is a tests/e2e/wine.Wine. The driver lives in one of the prefix's
service processes, which Wine ends with the wineserver, shortly after the
last other process, unless the server is persistent. A started Wine has a
persistent server; install() makes sure of it, and only when the server was
not persistent does it restart the server (runtime state such as global
atoms goes; the registry stays). Just after the services start, the service
manager is busy for a few seconds, during which a start is simply asked again.

What Wine 8 cannot show: the DOS device names the program itself defines.
DefineDosDeviceA reports success for names of more than four characters but
the name never comes to exist, so the driver makes a \\DosDevices\\ link for
every name the program looks for, and the program always finds its name
existing. The simulated machine covers the path that creates and removes a
name; "DosNames" and [DosDevices] expectations are not checkable here.

"OpenHandles" counts the handles a process opened on a card and did not close
itself. Wine opens a device before the driver has answered IRP_MJ_CREATE, and
holds the file until then; a handle the process closes before that is passed
on to the driver as closed by Wine, not by the process, and so counts as left
open, like the handles Wine closes when the process ends. The program always
makes a device call on a handle (which waits for the driver) before closing it.
"""

import os
import re
import shutil
import subprocess
import time

import scenario as sc
import wine as wn

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.normpath(os.path.join(HERE, "..", ".."))

SERVICE = "TestCard"
SERVICE_KEY = "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\" + SERVICE
PARAMETERS_KEY = SERVICE_KEY + "\\Parameters"
DRIVER_FILE = "testcard.sys"

# The DOS device names the driver links to \Device\<same name> on its own.
LINKED_NAMES = (["PcCard%d-%d" % (s, n) for s in range(4) for n in range(2)] +
                ["RNKRV52%d" % d for d in range(1, 10)] + ["RUKRV41.VXD", "RUKRV48.VXD"])


class CardDriverError(Exception):
    pass


def _card_settings():
    """{lower name: (name, kind, silent bit)} of the card's settings in the
    order of the table the simulated machine and the driver walk
    (card_setting_table in testdriver/card_model.c), and the largest record."""
    with open(os.path.join(ROOT, "testdriver", "card_model.h")) as f:
        header = f.read()
    with open(os.path.join(ROOT, "testdriver", "card_model.c")) as f:
        table = f.read().split("card_setting_table[] = {", 1)[1].split("};", 1)[0]
    bits = dict(re.findall(r"#define (CARD_SILENT_\w+) (0x\w+)u", header))
    rows = re.findall(r'CARD_(NUMBER|STATUS|RECORD|FAILURE)\("(\w+)", (\w+)(?:, (\w+))?\)', table)
    if len(rows) != table.count('("'):
        raise CardDriverError("card_setting_table: a row not of the form read here")
    return ({n.lower(): (n, kind if macro == "NUMBER" else macro, int(bits.get(bit, "0"), 16))
             for macro, n, kind, bit in rows},
            int(re.search(r"#define CARD_MAX_RECORD_WORDS (\d+)u", header).group(1)))


SETTINGS, MAX_RECORD_WORDS = _card_settings()


def build(out_dir):
    """Builds the driver and its test client into out_dir; returns the paths
    {"driver": ..., "client": ...}."""
    # A 32-bit prefix hosts only 32-bit kernel drivers.
    subprocess.run([os.path.join(ROOT, "testdriver", "build.sh"), out_dir,
                    "i686" if wn.WIN32 else "x86_64"], check=True)
    return built(out_dir)


def built(out_dir):
    """The paths of the driver and its test client built in out_dir."""
    return {"driver": os.path.join(out_dir, DRIVER_FILE),
            "client": os.path.join(out_dir, "cardclient.exe")}


def _number(text, limit):
    """Decimal, or hexadecimal after 0x; never octal, as the simulated machine reads it."""
    hex_form = len(text) > 2 and text[:2].lower() == "0x"
    digits = text[2:] if hex_form else text
    if not digits or not all(c in "0123456789abcdefABCDEF" if hex_form else c in "0123456789"
                             for c in digits):
        raise ValueError(text)
    value = int(digits, 16 if hex_form else 10)
    if value > limit:
        raise ValueError(text)
    return value


def _words(text):
    return [_number(w, 0xFFFF) for w in text.split()]


def _get(text):
    words = _words(text)
    if len(words) != 2:
        raise ValueError(text)
    return _pack(words)


# What a card received, each line a value of its own numbered from 1: the
# key, its value name, kind and data.
RECEIVED = {"get": ("Get", "binary", _get),
            "keytext": ("KeyText", "string", str),
            "put": ("Put", "binary", lambda text: _pack(_words(text))),
            "control": ("Control", "dword", lambda text: _number(text, 0xFFFF)),
            "wrong": ("Wrong", "string", str)}


class Card:
    """One [Device NAME] section: the registry values it sets."""

    def __init__(self, name):
        self.name = name
        self.values = []  # (value name, "dword" | "binary" | "string", data)
        self.received = {}  # key of RECEIVED: how many
        self.silent = 0  # SILENT bits

    def add(self, key, value):
        k = key.lower()
        name, kind, bit = SETTINGS.get(k, (None, None, 0))
        if kind == "STATUS" and value.lower() == "silent":
            self.silent |= bit
        elif kind == "RECORD":
            words = _words(value)
            if len(words) > MAX_RECORD_WORDS:
                raise ValueError(value)
            self.values.append((name, "binary", _pack(words)))
        elif kind == "FAILURE":
            error, _, attempt = value.lower().partition(" at ")
            at = _number(attempt.strip(), 0x7FFFFFFF) if attempt else 0
            if attempt and at == 0:
                raise ValueError(value)
            self.values += [(name, "dword", _number(error.strip(), 0xFFFFFFFF)),
                            (name + "At", "dword", at)]
        elif kind:
            self.silent &= ~bit
            limit = {"COUNT": 0x7FFFFFFF, "STATUS": 0xFFFF}.get(kind, 0xFFFFFFFF)
            self.values.append((name, "dword", _number(value, limit)))
        elif k in RECEIVED:
            prefix, vkind, parse = RECEIVED[k]
            data = parse(value)
            self.received[k] = self.received.get(k, 0) + 1
            self.values.append(("%s %d" % (prefix, self.received[k]), vkind, data))
        elif k in ("probes", "closes"):
            self.values.append((key[0].upper() + k[1:], "dword", _number(value, 0x7FFFFFFF)))
        elif k in ("openhandles", "dosnames", "wrongcalls"):
            pass  # what a run left behind; a new run starts without it
        else:
            raise KeyError(key)

    def registry_lines(self):
        out = ["[%s\\%s]" % (PARAMETERS_KEY, self.name), '"Silent"=dword:%08x' % self.silent]
        for name, kind, data in self.values:
            if kind == "dword":
                out.append('"%s"=dword:%08x' % (name, data))
            elif kind == "binary":
                out.append('"%s"=hex:%s' % (name, ",".join("%02x" % b for b in data)))
            else:
                out.append('"%s"="%s"' % (name, data.replace("\\", "\\\\").replace('"', '\\"')))
        return out


def _pack(words):
    return b"".join(w.to_bytes(2, "little") for w in words)


def parse_cards(machine_lines):
    """The cards of a scenario's machine lines. Raises CardDriverError on a
    line the simulated machine would refuse too."""
    cards = []
    for header, lines in sc.sections(machine_lines):
        if header.lower()[:7] != "device ":
            continue
        name = header[7:].strip()
        if not name or "\\" in name:
            raise CardDriverError("[%s]: not a device name" % header)
        if any(c.name.lower() == name.lower() for c in cards):
            raise CardDriverError("device %s is described twice" % name)
        card = Card(name)
        for number, text in lines:
            key, sep, value = text.partition("=")
            if not sep:
                raise CardDriverError("machine line %d: expected Name=Value" % number)
            try:
                card.add(key.strip(), value.strip())
            except KeyError:
                raise CardDriverError("machine line %d: unknown setting %s of [%s]" %
                                      (number, key.strip(), header))
            except ValueError:
                raise CardDriverError("machine line %d: bad value of %s in [%s]" %
                                      (number, key.strip(), header))
        cards.append(card)
    return cards


def unsupported(machine_lines):
    """Why the test driver cannot set up these machine lines, or None.

    A DOS device name the scenario defines beforehand is what the driver's
    own link stands for when it names the same device; any other cannot be
    made under Wine."""
    try:
        cards = parse_cards(machine_lines)
    except CardDriverError as e:
        return str(e)
    names = set(n.lower() for n in LINKED_NAMES) | set(c.name.lower() for c in cards)
    for header, lines in sc.sections(machine_lines):
        if header.lower() != "dosdevices":
            continue
        for _, text in lines:
            name, _, target = text.partition("=")
            name, target = name.strip(), target.strip()
            if name.lower() not in names or target.lower() != "\\device\\" + name.lower():
                return "the DOS device name %s, which Wine cannot make" % text
    return None


DOS_NAMES_UNSEEN = ("the program's own DOS device names never exist: Wine 8's DefineDosDeviceA "
                    "makes none longer than four characters")


def not_checkable(header, line):
    """Why an expect-machine line cannot be checked under Wine, or None."""
    if header.strip().lower() == "dosdevices":
        return DOS_NAMES_UNSEEN
    if header.strip().lower().startswith("device ") and \
            line.split("=", 1)[0].strip().lower() == "dosnames":
        return DOS_NAMES_UNSEEN
    return None


def _unpack(data):
    return [int.from_bytes(data[i:i + 2], "little") for i in range(0, len(data) - 1, 2)]


def words_text(words):
    """Record words as the simulated machine writes them: the type word in
    hexadecimal, the others in decimal."""
    return " ".join("0x%04X" % w if i == 1 else str(w) for i, w in enumerate(words))


def render_card(name, values):
    """Machine-file lines of one card from its registry values
    {lower name: (name, type, bytes)}, in the simulated machine's order."""
    def value(n, vtype):
        v = values.get(n.lower())
        if v is None or v[1] != vtype:
            raise CardDriverError("card %s: no %s in its key; did the driver start?" % (name, n))
        return v[2]

    def dword(n):
        return int.from_bytes(value(n, sc.REG_DWORD), "little")

    def numbered(prefix):
        out = []
        while (prefix + " %d" % (len(out) + 1)).lower() in values:
            out.append(values[(prefix + " %d" % (len(out) + 1)).lower()])
        return out

    lines = ["[Device %s]" % name]
    for n, kind, bit in SETTINGS.values():
        if kind == "STATUS":
            lines.append("%s=%s" % (n, "silent" if dword("Silent") & bit else dword(n)))
        elif kind == "CONTEXT":
            lines.append("%s=0x%08X" % (n, dword(n)))
        elif kind == "RECORD":
            lines.append("%s=%s" % (n, words_text(_unpack(value(n, sc.REG_BINARY)))))
        elif kind != "FAILURE":
            lines.append("%s=%d" % (n, dword(n)))
        elif dword(n):  # written only when set
            at = dword(n + "At")
            lines.append("%s=%d%s" % (n, dword(n), " at %d" % at if at else ""))
    lines += ["; received", "Probes=%d" % dword("Probes")]
    for _, _, data in numbered("Get"):
        lines.append("Get=" + words_text(_unpack(data)))
    for _, vtype, data in numbered("KeyText"):
        if vtype == sc.REG_SZ:
            lines.append("KeyText=" + data[:-1].decode("latin-1"))
        else:
            # Characters a line cannot carry: the record they came in.
            chars = data + (b"\0" if len(data) % 2 else b"")
            lines.append("Put=" + words_text([len(data) // 2 + 1, 0x0900] + _unpack(chars)))
    for _, _, data in numbered("Put"):
        lines.append("Put=" + words_text(_unpack(data)))
    for _, _, data in numbered("Control"):
        lines.append("Control=%d" % int.from_bytes(data, "little"))
    lines.append("Closes=%d" % dword("Closes"))
    wrongs = numbered("Wrong")
    lines.append("WrongCalls=%d" % len(wrongs))
    lines += ["Wrong=" + data[:-1].decode("latin-1") for _, _, data in wrongs]
    lines += ["; left behind by this run", "OpenHandles=%d" % dword("OpenHandles")]
    return lines


class CardDriver:
    def __init__(self, wine, driver_path):
        self.wine = wine
        self.driver_path = os.path.abspath(driver_path)
        self.cards = []
        self.running = False
        self.installed_here = False

    def _system(self, *args):
        proc = self.wine.run(args[0], list(args[1:]))
        return proc.returncode, (proc.stdout + proc.stderr).decode("latin-1", "replace")

    def install(self):
        """Puts the driver into the prefix as a demand-start kernel service, or
        replaces the file of one installed before."""
        # The driver lives in a service process, which ends with the server.
        self.wine.make_persistent()
        exists = self._system("sc", "query", SERVICE)[0] == 0
        self.installed_here = not exists
        if exists:
            self.running = True  # maybe; a stopped driver is stopped again harmlessly
            self.stop()
        drivers = os.path.join(self.wine.prefix, "drive_c", "windows", "system32", "drivers")
        shutil.copyfile(self.driver_path, os.path.join(drivers, DRIVER_FILE))
        if exists:
            return
        rc, out = self._system("sc", "create", SERVICE, "type=", "kernel", "start=", "demand",
                               "binPath=", "C:\\windows\\system32\\drivers\\" + DRIVER_FILE)
        if rc != 0:
            raise CardDriverError("sc create %s failed (%d): %s" % (SERVICE, rc, out))

    def remove(self):
        """Leaves the prefix as install() found it: the driver stopped without
        cards, and its service, settings and file gone if install() put them
        there."""
        self.configure([])
        self.stop()  # also when it was left running without cards
        if not self.installed_here:
            return
        rc, out = self._system("sc", "delete", SERVICE)
        if rc != 0 and self._system("sc", "query", SERVICE)[0] == 0:
            raise CardDriverError("sc delete %s failed (%d): %s" % (SERVICE, rc, out))
        self.wine.reg_import(["[-%s]" % SERVICE_KEY])
        os.remove(os.path.join(self.wine.prefix, "drive_c", "windows", "system32", "drivers",
                               DRIVER_FILE))
        self.installed_here = False

    def stop(self):
        """Stops the driver: its devices and links go."""
        if self.running:
            self._stopped(self.wine.steps([("stop-service", SERVICE)])[0])

    def _stopped(self, result):
        # 1062: the service was not running.
        if result[0] != 0 and result[1].strip() != "1062":
            raise CardDriverError("stopping %s failed: error %s" % (SERVICE, result[1].strip()))
        self.running = False

    def _started(self, result, patience=60.0):
        """Whether the driver started; a start that failed is asked again.

        Just after a prefix boots, Wine's service manager is still starting
        its own services and answers a start with a timeout or cannot open
        the service; it is asked again until `patience` seconds have passed.
        Returns False when the first answer, `result`, was not a start."""
        deadline = time.monotonic() + patience
        first = True
        # 1056: the service was running already.
        while result[0] != 0 and result[1].strip() != "1056":
            if time.monotonic() >= deadline:
                raise CardDriverError("starting %s failed: error %s" % (SERVICE, result[1].strip()))
            time.sleep(1.0)
            result, first = self.wine.steps([("start-service", SERVICE)])[0], False
        self.running = True
        return first

    def configure(self, machine_lines, registry_lines=(), links=False, then=()):
        """Sets the driver up for a scenario: the cards of its [Device ...]
        sections with fresh logs. Without cards the driver stays stopped, as on
        a machine without the card, unless `links` asks for it to run without
        cards, for the DOS device names it links. `registry_lines` (REGEDIT4,
        no header) go into the same probe start, and so do the probe's steps
        `then`, done after the driver has started; returns their results.

        Whether each card took its settings shows in machine_sections()."""
        reason = unsupported(machine_lines)
        if reason:
            raise CardDriverError(reason)
        cards = parse_cards(machine_lines)
        lines = list(registry_lines) + ["[-%s]" % PARAMETERS_KEY, "[%s]" % PARAMETERS_KEY]
        for card in cards:
            lines += card.registry_lines()
        then = list(then)
        if not cards and not self.cards and self.running:
            # Running without cards already: nothing of it to renew, and its
            # links harm no command that does not look for them.
            return self.wine.reg_import(lines, then=then)
        before = [("stop-service", SERVICE)] if self.running else []
        start = [("start-service", SERVICE)] if cards or links else []
        results = self.wine.reg_import(lines, before, start + then)
        if before:
            self._stopped(results[0])
        self.cards = cards
        if start and not self._started(results[len(before)]):
            # Done before the driver was there: again, now that it is.
            return self.wine.steps(then) if then else []
        return results[len(before) + len(start):]

    def read(self, keys=None):
        """The values of every card's key: {lower card name: {lower value
        name: (name, type, bytes)}}. From `keys`, a parsed export
        (scenario.parse_regedit) that covers PARAMETERS_KEY, or else the
        driver's key read now."""
        if keys is None:
            keys = self.wine.export([PARAMETERS_KEY])
        prefix = PARAMETERS_KEY.lower() + "\\"
        return {k[len(prefix):]: v[1] for k, v in keys.items()
                if k.startswith(prefix) and "\\" not in k[len(prefix):]}

    def machine_sections(self, keys=None):
        """What each card holds after a run, as machine-file sections
        {lower header: [lines]} in the form run_scenarios.py compares;
        `keys` as for read(). Raises CardDriverError for a card that refused
        a setting or never started."""
        values = self.read(keys)
        sections = {}
        for card in self.cards:
            card_values = values.get(card.name.lower(), {})
            error = card_values.get("configerror")
            if error:
                raise CardDriverError("card %s refused its setting %s" %
                                      (card.name, error[2][:-1].decode("latin-1")))
            lines = render_card(card.name, card_values)
            sections[lines[0][1:-1].lower()] = [l for l in lines[1:] if not l.startswith(";")]
        return sections

    def machine_text(self):
        """The cards as machine-file text, for a reader."""
        values = self.read()
        return "\n".join("\n".join(render_card(c.name, values.get(c.name.lower(), {}))) + "\n"
                         for c in self.cards)
