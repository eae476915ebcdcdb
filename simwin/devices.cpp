// Devices of the simulated machine: the DOS device name table, the device
// objects and VxD files that CreateFileA opens, a model of the card driver
// behind them that DeviceIoControl talks to, and device handles.
//
// Faithful to Windows where the program relies on it:
// - DOS device names exist on the NT line only; the Windows 95 line answers
//   QueryDosDeviceA and DefineDosDeviceA with ERROR_CALL_NOT_IMPLEMENTED.
//   A name may carry several definitions; the newest one is the current
//   target, QueryDosDeviceA lists them all newest first, and a removal takes
//   away the newest one that matches (exactly with DDD_EXACT_MATCH_ON_REMOVE,
//   else as a prefix). Without DDD_RAW_TARGET_PATH a target is a DOS path and
//   is kept as "\??\<path>". A name that is not defined gives
//   ERROR_FILE_NOT_FOUND, a buffer too small ERROR_INSUFFICIENT_BUFFER.
// - On the NT line "\\.\NAME" reaches a device object through the current
//   target of the DOS device name NAME, which must be "\Device\<object>"; on
//   the Windows 95 line "\\.\NAME.VXD" opens the VxD file NAME.VXD. Anything
//   else is not found (ERROR_FILE_NOT_FOUND): the machine has no file system.
// - Handles are real: each open gives a new one, which stays valid until
//   CloseHandle; a closed or unknown handle gives ERROR_INVALID_HANDLE.
//
// The card driver behind the devices is the test card driver's model
// (testdriver/card_model.c), the same code that answers under Wine; it checks
// every call against the card's own idea of the wire format, not the
// program's, and this file records what it received and what was wrong with
// it. docs/machine-file.md describes the device sections of a machine file.
#include "simwin/sim.h"
#include "simwin/simctl_devices.h"

#include <algorithm>
#include <cstdio>
#include <map>

namespace {

const DWORD kErrorCallNotImplemented = 120;

struct DosDefinition {
    std::string name;
    std::string target;
};

struct Device {
    std::string name; // as first given
    bool vxd;
    SimCardDriver settings; // kind_calls: in this run
    SimCardDriverLog received;
};

struct OpenHandle {
    size_t device; // index into DeviceState::devices
    card_session session;
};

// A failure of QueryDosDeviceA or DefineDosDeviceA for one name ("*": any).
struct DosError {
    int call; // kQueryCall, kDefineCall, kRemoveCall
    std::string name;
    DWORD error;
    unsigned attempt; // only the attempt-th matching call fails; 0: every one
    unsigned calls;   // matching calls so far in this run
    std::string line; // as given, for saving
};
// DefineDosDeviceA defines without DDD_REMOVE_DEFINITION, removes with it.
enum { kQueryCall, kDefineCall, kRemoveCall };

struct DeviceState {
    std::vector<DosDefinition> dosNames; // oldest first
    std::vector<DosError> dosErrors;
    std::vector<Device> devices; // in the order they were added
    std::map<uintptr_t, OpenHandle> handles;
    uintptr_t nextHandle = 0x200;
};

DeviceState& State() {
    static DeviceState state;
    return state;
}

bool IsVxdName(const std::string& name) {
    return name.size() > 4 && sim::EqualNoCase(name.substr(name.size() - 4), ".VXD");
}

Device* FindDevice(const std::string& name) {
    std::vector<Device>& devices = State().devices;
    auto it = std::find_if(devices.begin(), devices.end(),
                           [&](const Device& d) { return sim::EqualNoCase(d.name, name); });
    return it == devices.end() ? nullptr : &*it;
}

// The target of the newest definition of `name`, or null.
const std::string* CurrentTarget(const std::string& name) {
    const std::vector<DosDefinition>& defs = State().dosNames;
    for (size_t i = defs.size(); i-- > 0;) {
        if (sim::EqualNoCase(defs[i].name, name)) {
            return &defs[i].target;
        }
    }
    return nullptr;
}

OpenHandle* FindHandle(HANDLE h) {
    auto it = State().handles.find(reinterpret_cast<uintptr_t>(h));
    return it == State().handles.end() ? nullptr : &it->second;
}

std::string HandleText(HANDLE h) {
    OpenHandle* open = FindHandle(h);
    return open ? State().devices[open->device].name : sim::Hex(reinterpret_cast<uintptr_t>(h));
}

// ---- the card driver model ---------------------------------------------------

void SetWords(uint16_t* words, uint32_t* count, const std::vector<WORD>& value) {
    *count = static_cast<uint32_t>(std::min<size_t>(value.size(), CARD_MAX_RECORD_WORDS));
    std::copy(value.begin(), value.begin() + *count, words);
}

std::vector<WORD> Words(const card_received& r) {
    std::vector<WORD> words;
    for (uint32_t i = 0; i < r.word_count; ++i) {
        words.push_back(card_get16(r.words + 2 * i));
    }
    return words;
}

void Note(SimCardDriverLog& log, const card_received& r) {
    std::vector<WORD> words = Words(r);
    switch (r.event) {
    case CARD_EVENT_PROBE:
        ++log.probes;
        break;
    case CARD_EVENT_CLOSE:
        ++log.closes;
        break;
    case CARD_EVENT_CONTROL:
        log.controls.push_back(r.sub_code);
        break;
    case CARD_EVENT_GET:
        log.gets.push_back(words);
        break;
    case CARD_EVENT_KEY_TEXT: {
        std::string text;
        for (size_t i = 2; i < words.size(); ++i) {
            text += static_cast<char>(words[i] & 0xFF);
            text += static_cast<char>(words[i] >> 8);
        }
        log.keyTexts.push_back(text);
        break;
    }
    case CARD_EVENT_PUT:
        log.puts.push_back(words);
        break;
    case CARD_EVENT_NONE:
        break;
    }
    if (r.wrong != 0) {
        char line[160];
        card_describe_wrong(&r, line, sizeof line);
        log.wrongs.push_back(line);
    }
}

// ---- machine file --------------------------------------------------------------

// Decimal, or hexadecimal after 0x; never octal, so "08" is eight.
bool ParseNumber(const std::string& text, unsigned long long limit, unsigned long long* value) {
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    unsigned long long v = 0;
    for (size_t i = hex ? 2 : 0; i < text.size(); ++i) {
        const int digit = sim::HexDigit(text[i]);
        if (digit < 0 || (!hex && digit > 9)) {
            return false;
        }
        v = v * (hex ? 16 : 10) + static_cast<unsigned long long>(digit);
        if (v > limit) {
            return false;
        }
    }
    *value = v;
    return !text.empty();
}

// The blank-separated parts of `text`.
std::vector<std::string> SplitBlanks(const std::string& text) {
    std::vector<std::string> parts;
    for (size_t begin = text.find_first_not_of(" \t"); begin != std::string::npos;) {
        const size_t end = std::min(text.find_first_of(" \t", begin), text.size());
        parts.push_back(text.substr(begin, end - begin));
        begin = text.find_first_not_of(" \t", end);
    }
    return parts;
}

bool ParseWords(const std::string& text, std::vector<WORD>* words) {
    words->clear();
    for (const std::string& part : SplitBlanks(text)) {
        unsigned long long v = 0;
        if (!ParseNumber(part, 0xFFFF, &v)) {
            return false;
        }
        words->push_back(static_cast<WORD>(v));
    }
    return true;
}

// "ERROR", or "ERROR at N" for the N-th call only (N from 1; 0 when absent).
bool ParseFailure(const std::string& text, unsigned long long* error, unsigned long long* attempt) {
    const size_t at = sim::Lower(text).find(" at ");
    *attempt = 0;
    return ParseNumber(sim::Trim(text.substr(0, at)), 0xFFFFFFFF, error) &&
           (at == std::string::npos ||
            (ParseNumber(sim::Trim(text.substr(at + 4)), 0x7FFFFFFF, attempt) && *attempt != 0));
}

std::string WordsText(const std::vector<WORD>& words) {
    std::string out;
    for (size_t i = 0; i < words.size(); ++i) {
        if (i > 0) {
            out += ' ';
        }
        // The type word in hexadecimal, as record types are always written.
        out += i == 1 ? sim::Hex(words[i], 4) : std::to_string(words[i]);
    }
    return out;
}

// A key text can stand on a line as it is when it has no blanks, no control
// characters and does not look like a comment.
bool PrintableKeyText(const std::string& text) {
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return c > 0x20 && static_cast<unsigned char>(c) < 0x7F; });
}

bool LoadDosDevices(const std::vector<sim::Line>& lines, std::string* error) {
    for (const sim::Line& l : lines) {
        size_t eq = l.text.find('=');
        if (eq == std::string::npos) {
            return sim::LineError(error, l.number, "expected NAME=target");
        }
        std::string name = sim::Trim(l.text.substr(0, eq));
        std::string target = sim::Trim(l.text.substr(eq + 1));
        if (name.empty() || target.empty()) {
            return sim::LineError(error, l.number,
                                  "a DOS device name and its target may not be empty");
        }
        State().dosNames.push_back(DosDefinition{name, target});
    }
    return true;
}

// [DosDeviceErrors] lines: "QueryDosDeviceA NAME=ERROR",
// "DefineDosDeviceA NAME=ERROR" (defining) and "DefineDosDeviceA NAME
// remove=ERROR" (removing a definition); NAME "*" stands for every name.
bool LoadDosErrors(const std::vector<sim::Line>& lines, std::string* error) {
    for (const sim::Line& l : lines) {
        size_t eq = l.text.find('=');
        std::vector<std::string> words =
            SplitBlanks(eq == std::string::npos ? "" : l.text.substr(0, eq));
        unsigned long long v = 0;
        unsigned long long n = 0;
        const bool define = !words.empty() && sim::EqualNoCase(words[0], "DefineDosDeviceA");
        int call = -1;
        if (words.size() == 2 && (define || sim::EqualNoCase(words[0], "QueryDosDeviceA"))) {
            call = define ? kDefineCall : kQueryCall;
        } else if (words.size() == 3 && define && sim::EqualNoCase(words[2], "remove")) {
            call = kRemoveCall;
        }
        if (call < 0 || !ParseFailure(sim::Trim(l.text.substr(eq + 1)), &v, &n) || v == 0) {
            return sim::LineError(error, l.number,
                                  "expected QueryDosDeviceA NAME=ERROR, DefineDosDeviceA "
                                  "NAME=ERROR or DefineDosDeviceA NAME remove=ERROR, "
                                  "each optionally followed by at and an attempt");
        }
        State().dosErrors.push_back(
            DosError{call, words[1], static_cast<DWORD>(v), static_cast<unsigned>(n), 0, l.text});
    }
    return true;
}

// The error a machine file asks the call to fail with for `name`, or 0.
DWORD DosErrorFor(int call, const char* name) {
    for (DosError& e : State().dosErrors) {
        if (e.call == call &&
            (e.name == "*" || (name != nullptr && sim::EqualNoCase(e.name, name)))) {
            ++e.calls;
            if (e.attempt == 0 || e.attempt == e.calls) {
                return e.error;
            }
        }
    }
    return 0;
}

// A field of a card's settings by its offset (card_setting_table).
template <typename T> T& Field(card_settings& s, size_t offset) {
    return *reinterpret_cast<T*>(reinterpret_cast<char*>(&s) + offset);
}
template <typename T> const T& Field(const card_settings& s, size_t offset) {
    return *reinterpret_cast<const T*>(reinterpret_cast<const char*>(&s) + offset);
}

const card_setting* FindSetting(const std::string& key) {
    for (uint32_t i = 0; i < card_setting_count; ++i) {
        if (sim::EqualNoCase(key, card_setting_table[i].name)) {
            return &card_setting_table[i];
        }
    }
    return nullptr;
}

bool LoadNumber(const std::string& value, unsigned long long limit, const char* expected,
                uint32_t* field, std::string* message) {
    unsigned long long v = 0;
    if (!ParseNumber(value, limit, &v)) {
        *message = expected;
        return false;
    }
    *field = static_cast<uint32_t>(v);
    return true;
}

bool LoadSetting(card_settings& s, const card_setting& t, const std::string& value,
                 std::string* message) {
    switch (t.kind) {
    case CARD_SETTING_COUNT:
        return LoadNumber(value, 0x7FFFFFFF, "expected a count", &Field<uint32_t>(s, t.field),
                          message);
    case CARD_SETTING_CONTEXT:
        return LoadNumber(value, 0xFFFFFFFF, "expected a 32-bit context value",
                          &Field<uint32_t>(s, t.field), message);
    case CARD_SETTING_ERROR:
        return LoadNumber(value, 0xFFFFFFFF, "expected an error code", &Field<uint32_t>(s, t.field),
                          message);
    case CARD_SETTING_STATUS: {
        s.silent &= ~t.silent;
        if (sim::EqualNoCase(value, "silent")) {
            s.silent |= t.silent;
            return true;
        }
        uint32_t status = 0;
        if (!LoadNumber(value, 0xFFFF, "expected a status 0 to 65535 or silent", &status,
                        message)) {
            return false;
        }
        Field<uint16_t>(s, t.field) = static_cast<uint16_t>(status);
        return true;
    }
    case CARD_SETTING_RECORD: {
        std::vector<WORD> words;
        if (!ParseWords(value, &words) || words.size() > CARD_MAX_RECORD_WORDS) {
            *message = "expected up to 4098 words 0 to 65535, the length word first";
            return false;
        }
        SetWords(&Field<uint16_t>(s, t.field), &Field<uint32_t>(s, t.second), words);
        return true;
    }
    case CARD_SETTING_FAILURE: {
        unsigned long long e = 0;
        unsigned long long n = 0;
        if (!ParseFailure(value, &e, &n)) {
            *message = "expected an error code, or an error code, at and an attempt from 1";
            return false;
        }
        Field<uint32_t>(s, t.field) = static_cast<uint32_t>(e);
        Field<uint32_t>(s, t.second) = static_cast<uint32_t>(n);
        return true;
    }
    }
    return false;
}

// A line of what the card received (written below "; received"), or one
// that saving writes for the reader: a new run starts without handles, and
// the DOS device names are those of [DosDevices].
bool LoadReceived(SimCardDriverLog& log, const std::string& key, const std::string& value,
                  std::string* message) {
    std::vector<WORD> words;
    uint32_t v = 0;
    if (key == "keytext" || key == "wrong") {
        (key == "keytext" ? log.keyTexts : log.wrongs).push_back(value);
    } else if (key == "put" || key == "get") {
        if (!ParseWords(value, &words) || (key == "get" && words.size() != 2)) {
            *message = key == "put" ? "expected words 0 to 65535, the length word first"
                                    : "expected a length and a type";
            return false;
        }
        (key == "put" ? log.puts : log.gets).push_back(words);
    } else if (key == "probes" || key == "closes") {
        if (!LoadNumber(value, 0x7FFFFFFF, "expected a count", &v, message)) {
            return false;
        }
        (key == "probes" ? log.probes : log.closes) = static_cast<int>(v);
    } else if (key == "control") {
        if (!LoadNumber(value, 0xFFFF, "expected a sub-code 0 to 65535", &v, message)) {
            return false;
        }
        log.controls.push_back(static_cast<int>(v));
    } else if (key != "openhandles" && key != "dosnames" && key != "wrongcalls") {
        *message = "unknown setting";
        return false;
    }
    return true;
}

void SaveSetting(const card_settings& s, const card_setting& t, std::string& out) {
    std::string text;
    switch (t.kind) {
    case CARD_SETTING_COUNT:
    case CARD_SETTING_ERROR:
        text = std::to_string(Field<uint32_t>(s, t.field));
        break;
    case CARD_SETTING_CONTEXT:
        text = sim::Hex(Field<uint32_t>(s, t.field), 8);
        break;
    case CARD_SETTING_STATUS:
        text = (s.silent & t.silent) ? "silent" : std::to_string(Field<uint16_t>(s, t.field));
        break;
    case CARD_SETTING_RECORD: {
        const uint16_t* words = &Field<uint16_t>(s, t.field);
        text = WordsText(std::vector<WORD>(words, words + Field<uint32_t>(s, t.second)));
        break;
    }
    case CARD_SETTING_FAILURE:
        // Written only when set.
        if (Field<uint32_t>(s, t.field) == 0) {
            return;
        }
        text = std::to_string(Field<uint32_t>(s, t.field));
        if (Field<uint32_t>(s, t.second) != 0) {
            text += " at " + std::to_string(Field<uint32_t>(s, t.second));
        }
        break;
    }
    out += std::string(t.name) + "=" + text + "\n";
}

bool LoadDevice(const std::string& name, int first, const std::vector<sim::Line>& lines,
                std::string* error) {
    if (name.empty() || name.find('\\') != std::string::npos) {
        return sim::LineError(error, first,
                              "a device name is a name below \\Device\\ or a VxD file name");
    }
    if (FindDevice(name) != nullptr) {
        return sim::LineError(error, first, "device " + name + " is described twice");
    }
    Device d{name, IsVxdName(name), SimCardDriver(), SimCardDriverLog()};
    for (const sim::Line& l : lines) {
        size_t eq = l.text.find('=');
        if (eq == std::string::npos) {
            return sim::LineError(error, l.number, "expected Name=Value");
        }
        std::string key = sim::Trim(l.text.substr(0, eq));
        std::string value = sim::Trim(l.text.substr(eq + 1));
        std::string message;
        const card_setting* setting = FindSetting(key);
        if (setting != nullptr ? !LoadSetting(d.settings, *setting, value, &message)
                               : !LoadReceived(d.received, sim::Lower(key), value, &message)) {
            return sim::LineError(error, l.number,
                                  message + " in " + key + " of [Device " + name + "]");
        }
    }
    State().devices.push_back(d);
    return true;
}

int DosNamesOf(const Device& d) {
    const std::vector<DosDefinition>& defs = State().dosNames;
    return static_cast<int>(std::count_if(defs.begin(), defs.end(), [&](const DosDefinition& def) {
        return sim::EqualNoCase(def.target, "\\Device\\" + d.name);
    }));
}

int HandlesOf(size_t device) {
    const auto& handles = State().handles;
    return static_cast<int>(std::count_if(
        handles.begin(), handles.end(), [&](const auto& h) { return h.second.device == device; }));
}

void SaveDevice(const Device& d, size_t index, std::string& out) {
    const SimCardDriverLog& log = d.received;
    out += "\n[Device " + d.name + "]\n";
    for (uint32_t i = 0; i < card_setting_count; ++i) {
        SaveSetting(d.settings, card_setting_table[i], out);
    }
    out += "; received\n";
    out += "Probes=" + std::to_string(log.probes) + "\n";
    for (const std::vector<WORD>& words : log.gets) {
        out += "Get=" + WordsText(words) + "\n";
    }
    for (const std::string& text : log.keyTexts) {
        if (PrintableKeyText(text)) {
            out += "KeyText=" + text + "\n";
        } else {
            // Not a text a line can carry: kept as the record it came in.
            std::vector<WORD> words = {static_cast<WORD>(text.size() / 2 + 1), CARD_KEY_TEXT_TYPE};
            for (size_t i = 0; i + 1 < text.size(); i += 2) {
                words.push_back(static_cast<WORD>(static_cast<unsigned char>(text[i]) |
                                                  (static_cast<unsigned char>(text[i + 1]) << 8)));
            }
            out += "Put=" + WordsText(words) + "\n";
        }
    }
    for (const std::vector<WORD>& words : log.puts) {
        out += "Put=" + WordsText(words) + "\n";
    }
    for (int code : log.controls) {
        out += "Control=" + std::to_string(code) + "\n";
    }
    out += "Closes=" + std::to_string(log.closes) + "\n";
    out += "WrongCalls=" + std::to_string(log.wrongs.size()) + "\n";
    for (const std::string& line : log.wrongs) {
        out += "Wrong=" + line + "\n";
    }
    out += "; left behind by this run\n";
    out += "OpenHandles=" + std::to_string(HandlesOf(index)) + "\n";
    if (!d.vxd) {
        out += "DosNames=" + std::to_string(DosNamesOf(d)) + "\n";
    }
}

} // namespace

// ---- machine ------------------------------------------------------------------

void sim::ResetDevices() {
    State() = DeviceState();
}

bool sim::LoadDeviceSection(const std::string& header, int headerLine,
                            const std::vector<Line>& lines, std::string* error) {
    if (sim::EqualNoCase(header, "DosDevices")) {
        return LoadDosDevices(lines, error);
    }
    if (sim::EqualNoCase(header, "DosDeviceErrors")) {
        return LoadDosErrors(lines, error);
    }
    if (header.size() > 7 && sim::EqualNoCase(header.substr(0, 7), "Device ")) {
        return LoadDevice(sim::Trim(header.substr(7)), headerLine, lines, error);
    }
    return sim::LineError(error, headerLine, "unknown section [" + header + "]");
}

void sim::SaveDevices(std::string& out) {
    const DeviceState& st = State();
    if (!st.dosNames.empty()) {
        out += "\n[DosDevices]\n";
        for (const DosDefinition& def : st.dosNames) {
            out += def.name + "=" + def.target + "\n";
        }
    }
    if (!st.dosErrors.empty()) {
        out += "\n[DosDeviceErrors]\n";
        for (const DosError& e : st.dosErrors) {
            out += e.line + "\n";
        }
    }
    for (size_t i = 0; i < st.devices.size(); ++i) {
        SaveDevice(st.devices[i], i, out);
    }
}

// ---- control interface --------------------------------------------------------

void SimAddCardDriver(const std::string& name, const SimCardDriver& driver) {
    Device* d = FindDevice(name);
    if (d == nullptr) {
        State().devices.push_back(Device{name, IsVxdName(name), driver, SimCardDriverLog()});
    } else {
        *d = Device{d->name, d->vxd, driver, SimCardDriverLog()};
    }
}

void SimCardDriver::SetIdentity(const std::vector<WORD>& words) {
    SetWords(identity, &identity_words, words);
}

void SimCardDriver::SetCompatibility(const std::vector<WORD>& words) {
    SetWords(compatibility, &compatibility_words, words);
}

SimCardDriver* SimCardDriverSettings(const std::string& name) {
    Device* d = FindDevice(name);
    return d ? &d->settings : nullptr;
}

SimCardDriverLog SimCardDriverReceived(const std::string& name) {
    Device* d = FindDevice(name);
    return d ? d->received : SimCardDriverLog();
}

void SimDefineDosName(const std::string& name, const std::string& target) {
    State().dosNames.push_back(DosDefinition{name, target});
}

std::vector<std::string> SimDosNames() {
    std::vector<std::string> out;
    for (const DosDefinition& def : State().dosNames) {
        out.push_back(def.name + "=" + def.target);
    }
    return out;
}

int SimOpenHandleCount() {
    return static_cast<int>(State().handles.size());
}

int SimOpenHandleCount(const std::string& device) {
    const Device* d = FindDevice(device);
    return d ? HandlesOf(static_cast<size_t>(d - State().devices.data())) : 0;
}

// ---- simulated platform functions ---------------------------------------------

extern "C" {

HANDLE WINAPI CreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                          DWORD disposition, DWORD flags, HANDLE templateFile) {
    (void)access;
    (void)share;
    (void)security;
    (void)flags;
    DWORD fail = sim::BeginCall({"CreateFileA", name ? name : "NULL"});
    if (fail == 0 && (name == nullptr || disposition < CREATE_NEW || disposition > 5)) {
        fail = ERROR_INVALID_PARAMETER;
    }
    // The Windows 95 line has no template files: any template handle, even
    // INVALID_HANDLE_VALUE, makes the call fail. The NT line looks at the
    // template only when it creates a file, never for a device.
    if (fail == 0 && templateFile != nullptr && sim::PlatformId() == VER_PLATFORM_WIN32_WINDOWS) {
        fail = ERROR_NOT_SUPPORTED;
    }
    if (fail != 0) {
        return sim::Refuse(fail, INVALID_HANDLE_VALUE);
    }
    std::string path = name;
    Device* device = nullptr;
    if (path.compare(0, 4, "\\\\.\\") == 0) {
        std::string rest = path.substr(4);
        if (sim::PlatformId() == VER_PLATFORM_WIN32_WINDOWS) {
            device = IsVxdName(rest) ? FindDevice(rest) : nullptr;
        } else {
            const std::string* target = CurrentTarget(rest);
            const std::string prefix = "\\Device\\";
            if (target != nullptr && target->size() > prefix.size() &&
                sim::EqualNoCase(target->substr(0, prefix.size()), prefix)) {
                device = FindDevice(target->substr(prefix.size()));
            }
            if (device != nullptr && device->vxd) {
                device = nullptr;
            }
        }
    }
    if (device == nullptr || device->settings.open_error != 0) {
        return sim::Refuse(device ? device->settings.open_error : ERROR_FILE_NOT_FOUND,
                           INVALID_HANDLE_VALUE);
    }
    DeviceState& st = State();
    uintptr_t value = st.nextHandle;
    st.nextHandle += 4;
    st.handles[value] =
        OpenHandle{static_cast<size_t>(device - st.devices.data()), card_session{0, 0, 0}};
    return reinterpret_cast<HANDLE>(value);
}

BOOL WINAPI DeviceIoControl(HANDLE h, DWORD code, LPVOID in, DWORD inSize, LPVOID out,
                            DWORD outSize, LPDWORD returned, LPOVERLAPPED overlapped) {
    BYTE* block = static_cast<BYTE*>(out);
    SimCall call{"DeviceIoControl", HandleText(h) + " " + sim::Hex(code, 8)};
    if (block != nullptr && outSize >= CARD_RECORD_DATA_OFFSET) {
        call.request = card_get16(block + CARD_COMMAND_OFFSET);
        call.record = card_get16(block + CARD_RECORD_TYPE_OFFSET);
        call.args += " cmd=" + std::to_string(call.request) +
                     " len=" + std::to_string(card_get16(block + CARD_RECORD_OFFSET)) +
                     " type=" + sim::Hex(call.record, 4) + " size=" + std::to_string(outSize);
    }
    DWORD fail = sim::BeginCall(call);
    if (returned != nullptr) {
        *returned = 0;
    }
    OpenHandle* open = FindHandle(h);
    if (fail == 0 && open == nullptr) {
        fail = ERROR_INVALID_HANDLE;
    }
    if (fail == 0 && returned == nullptr && overlapped == nullptr) {
        fail = ERROR_INVALID_PARAMETER;
    }
    if (fail == 0) {
        Device& d = State().devices[open->device];
        card_received r;
        fail = card_call(&d.settings, &open->session, code, static_cast<const uint8_t*>(in), inSize,
                         block, outSize, &r);
        Note(d.received, r);
    }
    if (fail != 0) {
        return sim::Refuse(fail, FALSE);
    }
    if (returned != nullptr) {
        *returned = outSize;
    }
    return TRUE;
}

BOOL WINAPI CloseHandle(HANDLE h) {
    DWORD fail = sim::BeginCall({"CloseHandle", HandleText(h)});
    if (fail == 0 && State().handles.erase(reinterpret_cast<uintptr_t>(h)) == 0) {
        fail = ERROR_INVALID_HANDLE;
    }
    return fail != 0 ? sim::Refuse(fail, FALSE) : TRUE;
}

DWORD WINAPI QueryDosDeviceA(LPCSTR name, LPSTR buffer, DWORD size) {
    DWORD fail = sim::BeginCall({"QueryDosDeviceA", name ? name : "NULL"});
    if (fail == 0 && sim::PlatformId() == VER_PLATFORM_WIN32_WINDOWS) {
        fail = kErrorCallNotImplemented;
    }
    if (fail == 0) {
        fail = DosErrorFor(kQueryCall, name);
    }
    if (fail != 0) {
        return sim::Refuse(fail, static_cast<DWORD>(0));
    }
    // Every string ends with a zero and the list with one more.
    std::string list;
    const std::vector<DosDefinition>& defs = State().dosNames;
    if (name == nullptr) {
        // Every name once, as first defined.
        for (auto def = defs.begin(); def != defs.end(); ++def) {
            if (std::none_of(defs.begin(), def, [&](const DosDefinition& earlier) {
                    return sim::EqualNoCase(earlier.name, def->name);
                })) {
                list += def->name + '\0';
            }
        }
    } else {
        for (size_t i = defs.size(); i-- > 0;) {
            if (sim::EqualNoCase(defs[i].name, name)) {
                list += defs[i].target + '\0';
            }
        }
        if (list.empty()) {
            return sim::Refuse(ERROR_FILE_NOT_FOUND, static_cast<DWORD>(0));
        }
    }
    list += '\0';
    if (buffer == nullptr || list.size() > size) {
        return sim::Refuse(ERROR_INSUFFICIENT_BUFFER, static_cast<DWORD>(0));
    }
    list.copy(buffer, list.size());
    return static_cast<DWORD>(list.size());
}

BOOL WINAPI DefineDosDeviceA(DWORD flags, LPCSTR name, LPCSTR target) {
    SimCall call{"DefineDosDeviceA", std::to_string(flags) + " " + (name ? name : "NULL") + " " +
                                         (target ? target : "NULL")};
    call.request = static_cast<long>(flags);
    DWORD fail = sim::BeginCall(call);
    if (fail == 0 && sim::PlatformId() == VER_PLATFORM_WIN32_WINDOWS) {
        fail = kErrorCallNotImplemented;
    }
    if (fail == 0 && (name == nullptr || name[0] == '\0' ||
                      (!(flags & DDD_REMOVE_DEFINITION) && target == nullptr))) {
        fail = ERROR_INVALID_PARAMETER;
    }
    if (fail == 0) {
        fail = DosErrorFor((flags & DDD_REMOVE_DEFINITION) ? kRemoveCall : kDefineCall, name);
    }
    if (fail != 0) {
        return sim::Refuse(fail, FALSE);
    }
    std::vector<DosDefinition>& defs = State().dosNames;
    std::string wanted;
    if (target != nullptr) {
        wanted =
            (flags & DDD_RAW_TARGET_PATH) ? std::string(target) : "\\??\\" + std::string(target);
    }
    if (!(flags & DDD_REMOVE_DEFINITION)) {
        defs.push_back(DosDefinition{name, wanted});
        return TRUE;
    }
    // With exact matching the whole target must match, else its start.
    const bool exact = (flags & DDD_EXACT_MATCH_ON_REMOVE) != 0;
    for (size_t i = defs.size(); i-- > 0;) {
        const std::string& t = defs[i].target;
        if (sim::EqualNoCase(defs[i].name, name) &&
            (target == nullptr ||
             sim::EqualNoCase(exact ? t : t.substr(0, wanted.size()), wanted))) {
            defs.erase(defs.begin() + static_cast<long>(i));
            return TRUE;
        }
    }
    return sim::Refuse(ERROR_FILE_NOT_FOUND, FALSE);
}

} // extern "C"
