// The simulated machine's core: version, atoms, last error, standard output,
// Sleep, formatting, fault injection and the call log, and the machine file
// text that ties all parts of the machine together.
#include "simwin/sim.h"
#include "simwin/simctl.h"

#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

struct Fault {
    std::string function;
    int occurrence; // 1-based; 0 = every call
    DWORD error;
};

struct VersionState {
    DWORD platformId = VER_PLATFORM_WIN32_NT;
    DWORD major = 5;
    DWORD minor = 0;
    DWORD build = 2195;
    std::string csd;
    bool queryFails = false;
};

// What the process was started with as its standard output: a console or a
// pipe, nothing at all (a program started from a hidden window), a handle
// every write to fails on (a pipe whose reader has gone), or one every write
// to succeeds on without taking a byte (a full pipe in no-wait mode).
enum class StandardOutput { Console, None, Fails, Stalls };

struct CoreState {
    VersionState version;
    std::vector<std::string> atoms; // in the order added; the i-th is atom 0xC000 + i
    std::vector<Fault> faults;
    std::vector<SimCall> calls;
    std::string capturedStdout;
    StandardOutput standardOutput = StandardOutput::Console;
    DWORD lastError = 0;
    UINT codePage = 1252;
    DWORD sleptMs = 0;
    int sleepCount = 0;
    bool realTime = false;
};

CoreState& Core() {
    static CoreState state;
    return state;
}

const HANDLE kStdOutput = reinterpret_cast<HANDLE>(static_cast<intptr_t>(0x7001));
const HANDLE kStdError = reinterpret_cast<HANDLE>(static_cast<intptr_t>(0x7002));
// ERROR_NO_DATA: "The pipe is being closed."
const DWORD kErrorNoData = 232;

} // namespace

namespace sim {

// Ends the process unless `function` is listed as a call that is logged,
// or one that can fail.
void RequireListed(const std::string& function, bool canFail) {
    SimUse use = SimUse::NeverFails;
    if (!SimFindUse(function, &use) || (canFail ? !SimCanFail(use) : use > SimUse::Wait)) {
        std::fprintf(stderr, "%s: not listed in simwin/platform_calls.def as a call that %s\n",
                     function.c_str(), canFail ? "can fail" : "is logged");
        std::abort();
    }
}

DWORD BeginCall(const SimCall& call) {
    RequireListed(call.function, false);
    CoreState& c = Core();
    c.calls.push_back(call);
    const int n = SimCallCount(call.function.c_str());
    for (const Fault& f : c.faults) {
        if (f.function == call.function && (f.occurrence == 0 || f.occurrence == n)) {
            return f.error;
        }
    }
    return 0;
}

bool RealTime() {
    return Core().realTime;
}
void SetRealTime(bool on) {
    Core().realTime = on;
}
DWORD PlatformId() {
    return Core().version.platformId;
}

std::string Trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t\r");
    if (b == std::string::npos) {
        return "";
    }
    size_t e = s.find_last_not_of(" \t\r");
    return s.substr(b, e - b + 1);
}

std::string Lower(std::string s) {
    for (char& ch : s) {
        if (ch >= 'A' && ch <= 'Z') {
            ch = static_cast<char>(ch - 'A' + 'a');
        }
    }
    return s;
}

bool EqualNoCase(const std::string& a, const std::string& b) {
    return Lower(a) == Lower(b);
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

std::string Hex(unsigned long long v, int digits) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "0x%0*llX", digits, v);
    return buf;
}

bool LineError(std::string* error, int line, const std::string& message) {
    *error = "line " + std::to_string(line) + ": " + message;
    return false;
}

} // namespace sim

// ---- control interface -------------------------------------------------

void SimReset() {
    bool realTime = Core().realTime;
    Core() = CoreState();
    Core().realTime = realTime;
    sim::ResetRegistry();
    sim::ResetDevices();
}

void SimSetVersion(DWORD platformId, DWORD major, DWORD minor, DWORD build, const char* csd) {
    VersionState& v = Core().version;
    v = VersionState{platformId, major, minor, build, csd ? csd : "", v.queryFails};
}

void SimSetCodePage(UINT codePage) {
    Core().codePage = codePage;
}

void SimSetWindowsFamily(int family) {
    if (family == 1) {
        SimSetVersion(VER_PLATFORM_WIN32_WINDOWS, 4, 0, 0x040003B6, "");
    } else if (family == 2) {
        SimSetVersion(VER_PLATFORM_WIN32_WINDOWS, 4, 10, 0x040A08AE, " A ");
    } else if (family == 4) {
        SimSetVersion(VER_PLATFORM_WIN32_NT, 4, 0, 1381, "Service Pack 6");
    } else {
        SimSetVersion(VER_PLATFORM_WIN32_NT, 5, 0, 2195, "Service Pack 4");
    }
}

bool SimFindUse(const std::string& function, SimUse* use) {
    for (const SimPlatformCall& call : kSimPlatformCalls) {
        if (function == call.function) {
            *use = call.use;
            return true;
        }
    }
    return false;
}

void SimFailCall(const char* function, int occurrence, DWORD error) {
    sim::RequireListed(function, true);
    Core().faults.push_back(Fault{function, occurrence, error});
}

void SimClearFaults() {
    Core().faults.clear();
}

const std::vector<SimCall>& SimCalls() {
    return Core().calls;
}

std::vector<std::string> SimCallLog() {
    std::vector<std::string> log;
    for (const SimCall& call : Core().calls) {
        log.push_back(call.function + " " + call.args);
    }
    return log;
}

int SimCallCount(const char* function) {
    return static_cast<int>(
        std::count_if(Core().calls.begin(), Core().calls.end(),
                      [&](const SimCall& c) { return c.function == function; }));
}

void SimClearCallLog() {
    Core().calls.clear();
}

std::vector<std::string> SimAtoms() {
    return Core().atoms;
}

std::string SimStdout() {
    return Core().capturedStdout;
}
DWORD SimSleptMilliseconds() {
    return Core().sleptMs;
}
int SimSleepCount() {
    return Core().sleepCount;
}

void SimSetLastError(DWORD error) {
    Core().lastError = error;
}

// ---- simulated platform functions ---------------------------------------

extern "C" {

DWORD WINAPI GetLastError(void) {
    return Core().lastError;
}

// The lead byte ranges of the double-byte ANSI code pages; no other code
// page has any. Not a call the program can see fail, so it is not logged.
BOOL WINAPI IsDBCSLeadByte(BYTE c) {
    switch (Core().codePage) {
    case 932:
        return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
    case 936:
    case 949:
    case 950:
        return c >= 0x81 && c <= 0xFE;
    default:
        return FALSE;
    }
}

BOOL WINAPI GetVersionExA(LPOSVERSIONINFOA info) {
    DWORD fail = sim::BeginCall(
        {"GetVersionExA", info ? std::to_string(info->dwOSVersionInfoSize) : std::string("NULL")});
    VersionState& v = Core().version;
    // Windows accepts the size of OSVERSIONINFOA (148) and of the extended
    // record (156) only.
    if (info == nullptr || (fail == 0 && v.queryFails)) {
        fail = ERROR_INVALID_PARAMETER;
    } else if (fail == 0 && info->dwOSVersionInfoSize != 148 && info->dwOSVersionInfoSize != 156) {
        fail = ERROR_INSUFFICIENT_BUFFER;
    }
    if (fail != 0) {
        return sim::Refuse(fail, FALSE);
    }
    info->dwMajorVersion = v.major;
    info->dwMinorVersion = v.minor;
    info->dwBuildNumber = v.build;
    info->dwPlatformId = v.platformId;
    std::memset(info->szCSDVersion, 0, sizeof info->szCSDVersion);
    std::memcpy(info->szCSDVersion, v.csd.data(), std::min<size_t>(v.csd.size(), 127));
    return TRUE;
}

// Formatter with the conversions and the 1024-character limit of wsprintfA:
// flags '-' and '0', a width, the 'l' and 'h' size prefixes (long is 32 bits
// on Windows), and d, i, u, x, X, c, s and %%.
int wsprintfA(LPSTR buffer, LPCSTR format, ...) {
    va_list ap;
    va_start(ap, format);
    std::string out;
    for (const char* p = format; *p != '\0'; ++p) {
        if (*p != '%') {
            out += *p;
            continue;
        }
        ++p;
        if (*p == '%') {
            out += '%';
            continue;
        }
        bool left = false;
        bool zero = false;
        for (; *p == '-' || *p == '0'; ++p) {
            left = left || *p == '-';
            zero = zero || *p == '0';
        }
        int width = 0;
        for (; *p >= '0' && *p <= '9'; ++p) {
            width = width * 10 + (*p - '0');
        }
        while (*p == 'l' || *p == 'h') {
            ++p;
        }
        std::string field;
        switch (*p) {
        case 'd':
        case 'i':
            field = std::to_string(va_arg(ap, int));
            break;
        case 'u':
            field = std::to_string(va_arg(ap, unsigned int));
            break;
        case 'x':
        case 'X': {
            char buf[16];
            std::snprintf(buf, sizeof buf, *p == 'x' ? "%x" : "%X", va_arg(ap, unsigned int));
            field = buf;
            break;
        }
        case 'c':
            field = std::string(1, static_cast<char>(va_arg(ap, int)));
            break;
        case 's': {
            const char* s = va_arg(ap, const char*);
            field = s ? s : "(null)";
            break;
        }
        case '\0':
            --p;
            continue;
        default:
            field = std::string(1, *p);
            break;
        }
        // Zeros pad numbers only, after a minus sign.
        const size_t pad = static_cast<size_t>(std::max(width - static_cast<int>(field.size()), 0));
        if (left) {
            field.append(pad, ' ');
        } else if (zero && std::strchr("diuxX", *p) != nullptr) {
            field.insert(field[0] == '-' ? 1 : 0, pad, '0');
        } else {
            field.insert(0, pad, ' ');
        }
        out += field;
    }
    va_end(ap);
    if (out.size() > 1024) {
        out.resize(1024);
    }
    std::memcpy(buffer, out.c_str(), out.size() + 1);
    return static_cast<int>(out.size());
}

ATOM WINAPI GlobalAddAtomA(LPCSTR name) {
    DWORD fail = sim::BeginCall({"GlobalAddAtomA", name ? name : "NULL"});
    if (fail == 0 && (name == nullptr || std::strlen(name) == 0 || std::strlen(name) > 255)) {
        fail = ERROR_INVALID_PARAMETER;
    }
    if (fail != 0) {
        return sim::Refuse(fail, static_cast<ATOM>(0));
    }
    std::vector<std::string>& atoms = Core().atoms;
    size_t i = 0;
    while (i < atoms.size() && !sim::EqualNoCase(atoms[i], name)) {
        ++i;
    }
    if (i == atoms.size()) {
        atoms.push_back(name);
    }
    return static_cast<ATOM>(0xC000 + i);
}

void WINAPI Sleep(DWORD ms) {
    sim::BeginCall({"Sleep", std::to_string(ms)});
    Core().sleptMs += ms;
    ++Core().sleepCount;
    if (Core().realTime) {
        struct timespec t;
        t.tv_sec = ms / 1000;
        t.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
        nanosleep(&t, nullptr);
    }
}

HANDLE WINAPI GetStdHandle(DWORD which) {
    DWORD fail = sim::BeginCall({"GetStdHandle", sim::Hex(which)});
    if (fail == 0 && which != STD_OUTPUT_HANDLE && which != STD_ERROR_HANDLE) {
        fail = ERROR_INVALID_HANDLE;
    }
    if (fail != 0) {
        return sim::Refuse(fail, INVALID_HANDLE_VALUE);
    }
    if (which == STD_ERROR_HANDLE) {
        return kStdError;
    }
    // Without a standard output the handle is NULL, and no error is set.
    return Core().standardOutput == StandardOutput::None ? nullptr : kStdOutput;
}

} // extern "C"

// WriteFile on the two standard handles only; the machine has no file system.
extern "C" BOOL WINAPI WriteFile(HANDLE file, LPCVOID data, DWORD size, LPDWORD written,
                                 LPOVERLAPPED overlapped) {
    (void)overlapped;
    DWORD fail = sim::BeginCall({"WriteFile", std::to_string(size)});
    if (fail == 0 && file != kStdOutput && file != kStdError) {
        fail = ERROR_INVALID_HANDLE;
    }
    if (fail == 0 && file == kStdOutput && Core().standardOutput == StandardOutput::Fails) {
        fail = kErrorNoData;
    }
    if (fail != 0) {
        return sim::Refuse(fail, FALSE);
    }
    const char* bytes = static_cast<const char*>(data);
    const bool stalls = file == kStdOutput && Core().standardOutput == StandardOutput::Stalls;
    DWORD done = stalls || Core().realTime ? 0 : size; // what the write takes
    if (!stalls && !Core().realTime && file == kStdOutput) {
        Core().capturedStdout.append(bytes, size);
    }
    while (!stalls && Core().realTime && done < size) {
        ssize_t n = ::write(file == kStdOutput ? 1 : 2, bytes + done, size - done);
        if (n <= 0) {
            SimSetLastError(ERROR_GEN_FAILURE);
            break;
        }
        done += static_cast<DWORD>(n);
    }
    if (written) {
        *written = done;
    }
    return stalls || done == size;
}

// ---- machine file ---------------------------------------------------------

namespace {

bool ParseNumber(const std::string& text, DWORD* value) {
    char* end = nullptr;
    const unsigned long long v = std::strtoull(text.c_str(), &end, 0);
    *value = static_cast<DWORD>(v);
    return !text.empty() && *end == '\0' && v <= 0xFFFFFFFFull;
}

// The numbers of [Windows], in the order they are saved; BuildNumber is
// saved in hexadecimal.
const struct {
    const char* name;
    DWORD VersionState::*field;
} kVersionNumbers[] = {{"PlatformId", &VersionState::platformId},
                       {"MajorVersion", &VersionState::major},
                       {"MinorVersion", &VersionState::minor},
                       {"BuildNumber", &VersionState::build}};

// The values of StandardOutput=, in the order of StandardOutput.
const char* const kStandardOutputs[] = {"console", "none", "fails", "stalls"};

bool LoadWindowsSection(const std::vector<sim::Line>& lines, std::string* error) {
    VersionState& v = Core().version;
    for (const sim::Line& l : lines) {
        size_t eq = l.text.find('=');
        if (eq == std::string::npos) {
            return sim::LineError(error, l.number, "expected Name=Value");
        }
        std::string key = sim::Lower(sim::Trim(l.text.substr(0, eq)));
        std::string value = sim::Trim(l.text.substr(eq + 1));
        DWORD number = 0;
        if (key == "csdversion") {
            // Quotes keep blanks at either end, as in " A ".
            if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
                value = value.substr(1, value.size() - 2);
            }
            if (value.size() > 127) {
                return sim::LineError(error, l.number, "CSDVersion longer than 127 characters");
            }
            v.csd = value;
            continue;
        }
        if (key == "versionquery") {
            if (value != "ok" && value != "fails") {
                return sim::LineError(error, l.number, "VersionQuery must be ok or fails");
            }
            v.queryFails = value == "fails";
            continue;
        }
        if (key == "standardoutput") {
            int n = 0;
            while (n < 4 && value != kStandardOutputs[n]) {
                ++n;
            }
            if (n == 4) {
                return sim::LineError(error, l.number,
                                      "StandardOutput must be console, none, fails or stalls");
            }
            Core().standardOutput = static_cast<StandardOutput>(n);
            continue;
        }
        if (!ParseNumber(value, &number)) {
            return sim::LineError(error, l.number, "expected a number for " + key);
        }
        const auto* f = std::find_if(std::begin(kVersionNumbers), std::end(kVersionNumbers),
                                     [&](const auto& n) { return key == sim::Lower(n.name); });
        if (f == std::end(kVersionNumbers)) {
            return sim::LineError(error, l.number, "unknown setting " + key + " in [Windows]");
        }
        v.*(f->field) = number;
    }
    return true;
}

bool LoadAtomsSection(const std::vector<sim::Line>& lines, std::string* error) {
    for (const sim::Line& l : lines) {
        std::string name = sim::Trim(l.text);
        if (name.empty() || name.size() > 255) {
            return sim::LineError(error, l.number, "an atom is 1 to 255 characters");
        }
        Core().atoms.push_back(name);
    }
    return true;
}

bool LoadSection(const std::string& header, int headerLine, const std::vector<sim::Line>& lines,
                 std::string* error) {
    if (sim::EqualNoCase(header, "Windows")) {
        return LoadWindowsSection(lines, error);
    }
    if (sim::EqualNoCase(header, "Atoms")) {
        return LoadAtomsSection(lines, error);
    }
    if (sim::EqualNoCase(header, "RegistryFaults")) {
        return sim::LoadRegistryFaults(lines, error);
    }
    return sim::LoadDeviceSection(header, headerLine, lines, error);
}

} // namespace

bool SimLoadMachineText(const std::string& text, std::string* error) {
    SimReset();
    std::vector<sim::Line> all;
    int number = 0;
    for (size_t start = 0; start < text.size();) {
        const size_t end = std::min(text.find('\n', start), text.size());
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        all.push_back(sim::Line{++number, line});
        start = end + 1;
    }

    std::string header;
    int headerLine = 0;
    std::vector<sim::Line> body;
    bool ok = !all.empty() && sim::Trim(all[0].text) == "RCKRV48 MACHINE 1";
    if (!ok) {
        sim::LineError(error, 1, "the first line must be RCKRV48 MACHINE 1");
    }
    auto flush = [&]() {
        if (ok && headerLine != 0) {
            ok = LoadSection(header, headerLine, body, error);
        }
        body.clear();
    };
    size_t i = 1;
    for (; i < all.size() && ok; ++i) {
        std::string t = sim::Trim(all[i].text);
        if (t == "REGEDIT4") {
            break;
        }
        if (t.empty() || t[0] == ';' || t[0] == '#') {
            continue;
        }
        if (t.front() == '[' && t.back() == ']') {
            flush();
            header = sim::Trim(t.substr(1, t.size() - 2));
            headerLine = all[i].number;
            continue;
        }
        if (headerLine == 0) {
            ok = sim::LineError(error, all[i].number, "setting outside a section");
            break;
        }
        body.push_back(sim::Line{all[i].number, t});
    }
    flush();
    if (ok) {
        std::vector<sim::Line> registry(all.begin() + static_cast<long>(std::min(i, all.size())),
                                        all.end());
        ok = sim::LoadRegistry(registry, error);
    }
    if (!ok) {
        SimReset();
        return false;
    }
    SimClearCallLog();
    return true;
}

std::string SimSaveMachineText() {
    const CoreState& c = Core();
    std::string out = "RCKRV48 MACHINE 1\n\n[Windows]\n";
    for (const auto& f : kVersionNumbers) {
        const DWORD n = c.version.*f.field;
        out += std::string(f.name) + "=" +
               (f.field == &VersionState::build ? sim::Hex(n) : std::to_string(n)) + "\n";
    }
    out += "CSDVersion=\"" + c.version.csd + "\"\n";
    if (c.version.queryFails) {
        out += "VersionQuery=fails\n";
    }
    if (c.standardOutput != StandardOutput::Console) {
        out += std::string("StandardOutput=") +
               kStandardOutputs[static_cast<int>(c.standardOutput)] + "\n";
    }
    if (!c.atoms.empty()) {
        out += "\n[Atoms]\n";
        for (const std::string& a : c.atoms) {
            out += a + "\n";
        }
    }
    sim::SaveDevices(out);
    sim::SaveRegistryFaults(out);
    out += "\nREGEDIT4\n";
    sim::SaveRegistry(out);
    return out;
}
