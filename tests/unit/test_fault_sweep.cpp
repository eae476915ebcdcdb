// Fault sweep: every platform call that a successful command makes is made to
// fail once, on its own, and the run must still end well: with the result code
// that this failure in this step calls for, with nothing written after the
// failed step, and with no registry key, device handle or DOS device name
// left behind.
//
// Each case runs in a child process of its own, forked before the program
// ever ran in this process, so every case starts with the zeroed process-wide
// state of a fresh process, as the real program does. The expected outcome of
// a failure is derived from what the failing call was for (which value it
// read or wrote, which request it carried), not from the program's code.
#include "cli/dispatcher.h"
#include "driver/channel.h"
#include "keyrecord/keyrecord.h"
#include "simwin/simctl.h"
#include "simwin/simctl_devices.h"
#include "simwin/simctl_registry.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <map>
#include <ostream>
#include <set>
#include <string>
#include <utility>
#include <vector>

// Linked in by the coverage build only. A child ending with _exit writes its
// profile itself, else the runs it made would count as never made.
extern "C" int __llvm_profile_write_file(void) __attribute__((weak));

namespace {

const int kFamilies[] = {1, 2, 4, 8};

const char kFallbackKey[] = "Software\\Corvane\\Driver";
const char kManagerKey[] = "Software\\Corvane\\Client Manager";
const char kNoSsid[] = "XXXXXX";
const char kProfileSsid[] = "office-net";
const char kVersionLine[] = "RCKRV48.EXE Variant 1, Version 6.14\r\n";

// A text the E command stores; only its length is ever examined.
const std::string kStoredText = std::string(51, '&') + std::string(51, 'e');

std::string AdapterKey(int family) {
    switch (family) {
    case 1:
    case 2:
        return "System\\CurrentControlSet\\Services\\Class\\Net\\0003";
    case 4:
        // Service instance 2, so that instance 1 is read first and fails.
        return "System\\CurrentControlSet\\Services\\RNKRV522\\Parameters";
    default:
        return "System\\CurrentControlSet\\Control\\Class\\{4D36E972-E325-11CE-BFC1-08002BE10318}"
               "\\0007";
    }
}

std::string ProfileKey(int family) {
    return AdapterKey(family) + "\\Config01";
}

// Where a command may write "Encryption".
enum Target { kProfile, kAdapter, kFallback };

std::string TargetKey(Target t, int family) {
    return t == kProfile ? ProfileKey(family) : t == kAdapter ? AdapterKey(family) : kFallbackKey;
}

struct Scenario {
    const char* name;
    std::vector<std::string> args; // after the program name
    bool adapter;                  // the card is installed
    int success;                   // result of the run without faults
    std::set<Target> writes;       // what that run writes
    std::string out;               // and prints
};

// Names the scenario in test output instead of dumping its bytes.
void PrintTo(const Scenario& sc, std::ostream* os) {
    *os << sc.name;
}

std::vector<Scenario> Scenarios() {
    return {
        {"E", {"E", kStoredText}, true, 0, {kProfile, kAdapter}, ""},
        {"H", {"H"}, true, 0, {}, kProfileSsid},
        {"K", {"K", "3", "abcde", "0x0102030405", "", ""}, true, 0, {kProfile, kAdapter}, ""},
        {"K without adapter", {"K", "2", "", "0X0A0B0C0D0E", "x", ""}, false, 0, {kFallback}, ""},
        {"W", {"W", "1A2B3"}, true, 0, {kProfile, kAdapter}, ""},
        {"@", {"@"}, true, 101, {}, ""},
        {"V", {"V"}, true, 0, {}, kVersionLine},
    };
}

// The machine a command succeeds on: the card installed for the family (on
// Windows 2000 under the second identification string, on NT 4 under service
// instance 2, so that the search passes a failing read first), profile 1
// active, the client manager installed, and the family's card driver, busy
// once so that the retry path runs too. On Windows 2000 the device's DOS name
// exists already and the name tried before it does not.
std::string MachineText(int family, bool adapter) {
    std::string head = "RCKRV48 MACHINE 1\n[Windows]\n";
    switch (family) {
    case 1:
        head += "PlatformId=1\nMajorVersion=4\nMinorVersion=0\nBuildNumber=950\n"
                "[Device RUKRV41.VXD]\nBusy=1\n";
        break;
    case 2:
        head += "PlatformId=1\nMajorVersion=4\nMinorVersion=10\nBuildNumber=1998\n"
                "[Device RUKRV48.VXD]\nBusy=1\n";
        break;
    case 4:
        head += "PlatformId=2\nMajorVersion=4\nMinorVersion=0\nBuildNumber=1381\n"
                "[Device RNKRV522]\nBusy=1\n";
        break;
    default:
        head += "PlatformId=2\nMajorVersion=5\nMinorVersion=0\nBuildNumber=2195\n"
                "[Device PcCard0-1]\nBusy=1\n[DosDevices]\nPcCard0-1=\\Device\\PcCard0-1\n";
        break;
    }
    std::string error;
    if (!SimLoadMachineText(head + "REGEDIT4\n", &error)) {
        ADD_FAILURE() << error;
    }
    SimRegSetString(kManagerKey, "version", "2.1");
    if (adapter) {
        if (family == 1 || family == 2) {
            SimRegSetString("Enum\\PCMCIA\\KESTRAN_INSTRUMENTS-AIRLOOM/IEEE-4E21\\0", "Driver",
                            "Net\\0003");
        } else if (family == 8) {
            SimRegSetString(
                "System\\CurrentControlSet\\Enum\\PCMCIA\\KESTRAN_INSTRUMENTS-AIRLOOM/IEEE-9A07\\1",
                "Driver", "{4D36E972-E325-11CE-BFC1-08002BE10318}\\0007");
        }
        const std::string a = AdapterKey(family);
        SimRegSetString(a, "VendorDescription", "CORVANE PC Card");
        SimRegSetString(a, "DriverVariant", "1");
        SimRegSetDword(a, "DriverMajor", 6);
        SimRegSetString(a, "DriverMinor", "14");
        SimRegSetString(a, "ConfigType", "1");
        SimRegSetString(a, "DesiredSSID", "corvane");
        SimRegSetString(a, "Encryption", g_DefaultKeyRecordText);
        for (const char* profile : {"\\Config01", "\\Config02"}) {
            SimRegSetString(a + profile, "ConfigName", profile + 1);
            SimRegSetString(a + profile, "Encryption", g_DefaultKeyRecordText);
        }
        SimRegSetString(ProfileKey(family), "DesiredSSID", kProfileSsid);
    }
    return SimSaveMachineText();
}

// What a run left behind, as seen from the child that ran it.
struct Outcome {
    bool ended = false; // the child ran to its end (no crash, no sanitizer abort)
    std::string status;
    int result = -1;
    std::string out;
    std::string registry;
    std::vector<std::string> log;
    std::vector<std::string> atoms;
    std::vector<std::string> dosNames;
    std::string written[3]; // "Encryption" of each Target, empty when missing
    int openKeys = 0;
    int handles = 0;
    unsigned int driverId = 0;
};

void PutField(std::string& s, const std::string& field) {
    s += std::to_string(field.size()) + '\n' + field;
}

bool TakeField(const std::string& s, size_t* at, std::string* field) {
    size_t nl = s.find('\n', *at);
    if (nl == std::string::npos) {
        return false;
    }
    size_t n = std::stoul(s.substr(*at, nl - *at));
    *field = s.substr(nl + 1, n);
    *at = nl + 1 + n;
    return field->size() == n;
}

std::string Joined(const std::vector<std::string>& items) {
    std::string s;
    for (const std::string& i : items) {
        s += i + '\n';
    }
    return s;
}

std::vector<std::string> Split(const std::string& s) {
    std::vector<std::string> items;
    size_t at = 0;
    while (at < s.size()) {
        size_t nl = s.find('\n', at);
        items.push_back(s.substr(at, nl - at));
        at = nl + 1;
    }
    return items;
}

std::string EncryptionAt(const std::string& key) {
    std::string data;
    if (!SimRegGetValue(key, "Encryption", nullptr, &data)) {
        return "";
    }
    return data.substr(0, data.find('\0'));
}

// Runs one command in a fresh child process on `machine`, with the
// occurrence-th call of `function` failing with `error` when a function is
// named.
Outcome Run(const std::string& machine, int family, const std::vector<std::string>& args,
            const std::string& function, int occurrence, DWORD error) {
    int fds[2];
    Outcome o;
    if (pipe(fds) != 0) {
        o.status = "no pipe";
        return o;
    }
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        std::string loadError;
        SimLoadMachineText(machine, &loadError);
        if (!function.empty()) {
            SimFailCall(function.c_str(), occurrence, error);
        }
        std::vector<std::string> storage = {"rckrv48"};
        storage.insert(storage.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& s : storage) {
            argv.push_back(&s[0]);
        }
        argv.push_back(nullptr);
        int result = DispatchCommand(static_cast<int>(storage.size()), argv.data(), nullptr);
        std::string report;
        PutField(report, std::to_string(result));
        PutField(report, SimStdout());
        PutField(report, SimRegExportText());
        PutField(report, Joined(SimCallLog()));
        PutField(report, Joined(SimAtoms()));
        PutField(report, Joined(SimDosNames()));
        for (Target t : {kProfile, kAdapter, kFallback}) {
            PutField(report, EncryptionAt(TargetKey(t, family)));
        }
        PutField(report, std::to_string(SimOpenKeyCount()));
        PutField(report, std::to_string(SimOpenHandleCount()));
        PutField(report, std::to_string(g_Channel.driverId));
        size_t done = 0;
        while (done < report.size()) {
            ssize_t n = write(fds[1], report.data() + done, report.size() - done);
            if (n <= 0) {
                _exit(3);
            }
            done += static_cast<size_t>(n);
        }
        if (__llvm_profile_write_file != nullptr) {
            __llvm_profile_write_file();
        }
        _exit(0);
    }
    close(fds[1]);
    std::string report;
    char buf[65536];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0) {
        report.append(buf, static_cast<size_t>(n));
    }
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        o.status = WIFSIGNALED(status) ? "killed by signal " + std::to_string(WTERMSIG(status))
                                       : "exit status " + std::to_string(WEXITSTATUS(status));
        return o;
    }
    std::string f[12];
    size_t at = 0;
    for (std::string& field : f) {
        if (!TakeField(report, &at, &field)) {
            o.status = "short report";
            return o;
        }
    }
    o.ended = true;
    o.result = std::stoi(f[0]);
    o.out = f[1];
    o.registry = f[2];
    o.log = Split(f[3]);
    o.atoms = Split(f[4]);
    o.dosNames = Split(f[5]);
    for (int t = 0; t < 3; ++t) {
        o.written[t] = f[6 + t];
    }
    o.openKeys = std::stoi(f[9]);
    o.handles = std::stoi(f[10]);
    o.driverId = static_cast<unsigned int>(std::stoul(f[11]));
    return o;
}

// What one call of the successful run was for.
enum class Kind {
    Version,
    RegRead,  // open or query of a value read
    RegWrite, // create or set of a value written
    RegClose,
    Atom,
    Output,
    Sleep,
    DosQuery,
    DosDefine,
    DosRemove,
    DeviceOpen,
    Probe,
    GetCompatibility,
    GetIdentity,
    PutKeyText,
    Control,
    CloseRequest,
    CloseHandle,
    Unknown
};

struct Step {
    std::string function;
    int occurrence = 0;
    Kind kind = Kind::Unknown;
    std::string key;          // registry calls: the key path
    std::string value;        // registry calls: the value name
    bool failsAnyway = false; // failed in the successful run too
    bool afterDefine = false; // QueryDosDeviceA right after defining the name
    bool firstProbe = false;
};

std::string FunctionOf(const std::string& entry) {
    return entry.substr(0, entry.find(' '));
}

std::string DetailOf(const std::string& entry) {
    size_t sp = entry.find(' ');
    return sp == std::string::npos ? "" : entry.substr(sp + 1);
}

std::string KeyOf(const std::string& entry) {
    std::string d = DetailOf(entry);
    const std::string root = "HKEY_LOCAL_MACHINE\\";
    size_t end = d.find(" options=");
    return d.compare(0, root.size(), root) == 0 ? d.substr(root.size(), end - root.size()) : d;
}

std::string ValueOf(const std::string& entry) {
    std::string d = DetailOf(entry);
    size_t open = d.find('"');
    size_t close = d.find('"', open + 1);
    return open == std::string::npos ? "" : d.substr(open + 1, close - open - 1);
}

bool IsValueCall(const std::string& f) {
    return f == "RegQueryValueExA" || f == "RegSetValueExA";
}

// Classifies every call of the successful run's log; `startMachine` must be
// loaded so that reads of values that do not exist can be told apart.
std::vector<Step> Classify(const std::vector<std::string>& log) {
    std::vector<Step> steps;
    std::map<std::string, int> counts;
    bool probed = false;
    for (size_t i = 0; i < log.size(); ++i) {
        Step s;
        s.function = FunctionOf(log[i]);
        s.occurrence = ++counts[s.function];
        const std::string d = DetailOf(log[i]);
        const std::string next = i + 1 < log.size() ? FunctionOf(log[i + 1]) : "";
        const std::string& f = s.function;
        if (f == "GetVersionExA") {
            s.kind = Kind::Version;
        } else if (f == "RegOpenKeyExA" || f == "RegCreateKeyExA") {
            s.kind = f == "RegOpenKeyExA" ? Kind::RegRead : Kind::RegWrite;
            s.key = KeyOf(log[i]);
            // An open not followed by its value call failed: the key is missing.
            s.failsAnyway = !IsValueCall(next);
            s.value = s.failsAnyway ? "" : ValueOf(log[i + 1]);
        } else if (IsValueCall(f)) {
            s.kind = f == "RegQueryValueExA" ? Kind::RegRead : Kind::RegWrite;
            s.key = KeyOf(log[i - 1]);
            s.value = ValueOf(log[i]);
            s.failsAnyway =
                s.kind == Kind::RegRead && !SimRegGetValue(s.key, s.value, nullptr, nullptr);
        } else if (f == "RegCloseKey") {
            s.kind = Kind::RegClose;
        } else if (f == "GlobalAddAtomA") {
            s.kind = Kind::Atom;
        } else if (f == "GetStdHandle" || f == "WriteFile") {
            s.kind = Kind::Output;
        } else if (f == "Sleep") {
            s.kind = Kind::Sleep;
        } else if (f == "QueryDosDeviceA") {
            s.kind = Kind::DosQuery;
            s.afterDefine = i > 0 && log[i - 1].compare(0, 18, "DefineDosDeviceA 1") == 0;
        } else if (f == "DefineDosDeviceA") {
            s.kind = d.compare(0, 2, "1 ") == 0 ? Kind::DosDefine : Kind::DosRemove;
        } else if (f == "CreateFileA") {
            s.kind = Kind::DeviceOpen;
            s.failsAnyway = next != "DeviceIoControl";
        } else if (f == "DeviceIoControl") {
            if (d.find("cmd=0 ") != std::string::npos) {
                s.kind = Kind::Probe;
                s.firstProbe = !probed;
                probed = true;
            } else if (d.find("cmd=4 ") != std::string::npos) {
                s.kind = d.find("type=0x0827") != std::string::npos ? Kind::GetCompatibility
                                                                    : Kind::GetIdentity;
            } else if (d.find("cmd=5 ") != std::string::npos) {
                s.kind = Kind::PutKeyText;
            } else if (d.find("cmd=2 ") != std::string::npos) {
                s.kind = Kind::Control;
            } else if (d.find("cmd=1 ") != std::string::npos) {
                s.kind = Kind::CloseRequest;
            }
        } else if (f == "CloseHandle") {
            s.kind = Kind::CloseHandle;
        }
        steps.push_back(s);
    }
    return steps;
}

struct Expectation {
    Expectation(int r, std::set<Target> w, std::string o)
        : result(r), writes(std::move(w)), out(std::move(o)) {}

    int result;
    std::set<Target> writes;
    std::string out;
    bool outPrefix = false; // output may stop anywhere
    std::vector<std::string> atoms;
    int spareKeys = 0;      // a failed RegCloseKey cannot close its key
    int spareHandles = 0;   // nor a failed CloseHandle its handle
    int spareDosNames = 0;  // nor a failed removal its DOS device name
    std::string createdKey; // made by a write whose value was then refused
};

char Letter(const Scenario& sc) {
    return sc.args[0][0];
}

// The run finds no adapter: E, H and W end with 2 (H printing "XXXXXX"),
// K stores under the fallback key.
void NoAdapter(const Scenario& sc, Expectation* e) {
    switch (Letter(sc)) {
    case 'E':
    case 'W':
        *e = Expectation{2, {}, ""};
        break;
    case 'H':
        *e = Expectation{2, {}, kNoSsid};
        break;
    case 'K':
        e->writes = {kFallback};
        break;
    default:
        break;
    }
}

Expectation Expect(const Scenario& sc, int family, const Step& s, DWORD error) {
    Expectation e{sc.success, sc.writes, sc.out};
    if (Letter(sc) == '@') {
        e.atoms = {"RAD INSTALLED 1"};
    }
    if (s.failsAnyway) {
        return e;
    }
    const Expectation failed{0, {}, ""};
    switch (s.kind) {
    case Kind::Version:
        // Family 0: no adapter and no device anywhere.
        NoAdapter(sc, &e);
        break;
    case Kind::RegRead:
        if (s.value == "Driver" || s.value == "VendorDescription") {
            // On NT 4 every row probes the same service instances, so the
            // next row finds the card again.
            if (family != 4) {
                NoAdapter(sc, &e);
            }
        } else if (s.value == "DriverVariant" || s.value == "DriverMajor" ||
                   s.value == "DriverMinor") {
            e.result = 5;
            e.writes = {};
        } else if (s.value == "ConfigType") {
            // No active profile: only the profile itself is written.
            e.writes.erase(kAdapter);
        } else if (s.value == "ConfigName" || s.value == "Encryption") {
            e.result = 3;
            e.writes = {};
        } else if (s.value == "DesiredSSID") {
            e.out = kNoSsid;
        } else if (s.value == "version") {
            e.result = 100;
            e.atoms = {"RAD INSTALLED 0"};
        } else {
            ADD_FAILURE() << "unexpected read of " << s.value;
        }
        break;
    case Kind::RegWrite:
        e.result = 3;
        // The profile is written before the adapter key, and stays written.
        e.writes = s.key == AdapterKey(family) ? std::set<Target>{kProfile} : std::set<Target>{};
        // A write creates its key before it sets the value, and nothing
        // takes the key back when the value is refused.
        if (s.function == "RegSetValueExA") {
            e.createdKey = s.key;
        }
        break;
    case Kind::RegClose:
        e.spareKeys = 1;
        break;
    case Kind::Atom:
        e.atoms = {};
        break;
    case Kind::Output:
        e.outPrefix = true;
        break;
    case Kind::Sleep:
        break;
    case Kind::DosQuery:
        // "Not found" before defining is the ordinary way of a missing name;
        // any other failure, or not finding the name just defined, ends the
        // search.
        if (error != ERROR_FILE_NOT_FOUND || s.afterDefine) {
            e = failed;
            e.result = 6;
        }
        break;
    case Kind::DosDefine:
    case Kind::DeviceOpen:
    case Kind::GetCompatibility:
    case Kind::PutKeyText:
    case Kind::Control:
        // Every later name has no device behind it.
        e = failed;
        e.result = 6;
        break;
    case Kind::Probe:
        // A VxD whose probe call fails is still taken, and what the probe
        // block holds decides: nothing at all before the first reply (no
        // context: 6), the busy answer of the previous probe after it (one
        // more attempt, which succeeds).
        if (family == 4 || family == 8 || s.firstProbe) {
            e = failed;
            e.result = 6;
        }
        break;
    case Kind::GetIdentity:
        e = failed;
        e.result = 5;
        break;
    case Kind::DosRemove:
        e.spareDosNames = 1;
        break;
    case Kind::CloseRequest:
        break;
    case Kind::CloseHandle:
        e.spareHandles = 1;
        break;
    case Kind::Unknown:
        ADD_FAILURE() << "call not understood: " << s.function;
        break;
    }
    return e;
}

std::string ExpectedRegistry(const std::string& machine, int family, const Expectation& e,
                             const Outcome& baseline) {
    std::string error;
    SimLoadMachineText(machine, &error);
    if (!e.createdKey.empty()) {
        SimRegCreateKey(e.createdKey);
    }
    for (Target t : e.writes) {
        // K stores the same text wherever it stores it, so a fallback write
        // that the successful run did not make has the profile's text.
        const std::string& text =
            baseline.written[t].empty() ? baseline.written[kProfile] : baseline.written[t];
        SimRegSetString(TargetKey(t, family), "Encryption", text);
    }
    return SimRegExportText();
}

// Compares a run with its expectation; returns what is wrong, empty when
// nothing is.
std::string Judge(const std::string& machine, int family, const Expectation& e, const Outcome& o,
                  const Outcome& baseline, const std::vector<std::string>& startDosNames) {
    if (!o.ended) {
        return "the run did not end: " + o.status;
    }
    std::string problems;
    if (o.result != e.result) {
        problems +=
            "result " + std::to_string(o.result) + ", expected " + std::to_string(e.result) + "; ";
    }
    bool outOk = e.outPrefix ? e.out.compare(0, o.out.size(), o.out) == 0 : o.out == e.out;
    if (!outOk) {
        problems += "printed \"" + o.out + "\", expected \"" + e.out + "\"; ";
    }
    if (o.registry != ExpectedRegistry(machine, family, e, baseline)) {
        problems += "registry differs from what may be written; ";
    }
    std::vector<std::string> atoms = o.atoms;
    if (atoms != e.atoms) {
        problems += "atoms differ; ";
    }
    if (o.openKeys > e.spareKeys) {
        problems += std::to_string(o.openKeys) + " registry keys left open; ";
    }
    if (o.handles > e.spareHandles) {
        problems += std::to_string(o.handles) + " device handles left open; ";
    }
    std::vector<std::string> extra;
    std::vector<std::string> left = o.dosNames;
    for (const std::string& name : startDosNames) {
        auto it = std::find(left.begin(), left.end(), name);
        if (it == left.end()) {
            problems += "DOS device name " + name + " removed; ";
        } else {
            left.erase(it);
        }
    }
    if (static_cast<int>(left.size()) > e.spareDosNames) {
        problems += std::to_string(left.size()) + " DOS device names left behind; ";
    }
    if (o.driverId != 0) {
        problems += "the driver channel is still open; ";
    }
    return problems;
}

int g_TotalCases = 0;

// Sweeps one scenario over every family, counting the cases tried.
void Sweep(const Scenario& sc, int* cases) {
    for (int family : kFamilies) {
        const std::string machine = MachineText(family, sc.adapter);
        const std::vector<std::string> startDosNames = SimDosNames();
        Outcome baseline = Run(machine, family, sc.args, "", 0, 0);
        Expectation plain{sc.success, sc.writes, sc.out};
        if (Letter(sc) == '@') {
            plain.atoms = {"RAD INSTALLED 1"};
        }
        std::string problems = Judge(machine, family, plain, baseline, baseline, startDosNames);
        ASSERT_EQ("", problems) << sc.name << " on family " << family << " without faults";

        std::string loadError;
        SimLoadMachineText(machine, &loadError);
        const std::vector<Step> steps = Classify(baseline.log);
        for (const Step& s : steps) {
            std::vector<DWORD> errors = {ERROR_ACCESS_DENIED};
            if (s.kind == Kind::DosQuery) {
                errors.push_back(ERROR_FILE_NOT_FOUND);
            }
            for (DWORD error : errors) {
                Expectation e = Expect(sc, family, s, error);
                Outcome o = Run(machine, family, sc.args, s.function, s.occurrence, error);
                ++*cases;
                problems = Judge(machine, family, e, o, baseline, startDosNames);
                EXPECT_EQ("", problems) << sc.name << " on family " << family << ": " << s.function
                                        << " #" << s.occurrence << " failing with " << error << " ("
                                        << s.key << " " << s.value << ")";
                SimLoadMachineText(machine, &loadError);
            }
        }
    }
}

class FaultSweep : public ::testing::TestWithParam<Scenario> {};

TEST_P(FaultSweep, EveryFailingCallEndsWithItsResultAndLeavesNothingBehind) {
    int cases = 0;
    Sweep(GetParam(), &cases);
    g_TotalCases += cases;
    std::printf("fault sweep %s: %d cases on %zu families\n", GetParam().name, cases,
                sizeof kFamilies / sizeof kFamilies[0]);
    EXPECT_GT(cases, 0);
}

std::string ScenarioName(const ::testing::TestParamInfo<Scenario>& info) {
    std::string name;
    for (char c : std::string(info.param.name)) {
        name += c == '@'                                      ? std::string("At")
                : std::isalnum(static_cast<unsigned char>(c)) ? std::string(1, c)
                                                              : std::string();
    }
    return name;
}

INSTANTIATE_TEST_SUITE_P(Commands, FaultSweep, ::testing::ValuesIn(Scenarios()), ScenarioName);

class CaseCount : public ::testing::Environment {
  public:
    void TearDown() override { std::printf("fault sweep: %d cases tried\n", g_TotalCases); }
};

const ::testing::Environment* const g_CaseCount =
    ::testing::AddGlobalTestEnvironment(new CaseCount);

} // namespace
