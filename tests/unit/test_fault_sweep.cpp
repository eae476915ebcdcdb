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
#include "simwin/simctl.h"
#include "simwin/simctl_devices.h"
#include "simwin/simctl_registry.h"
#include "testdriver/card_model.h"
#include "tests/unit/argv.h"
#include "tests/unit/card_machines.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <ostream>
#include <set>
#include <string>
#include <vector>

// Linked in by the coverage build only. A child ending with _exit writes its
// profile itself, else the runs it made would count as never made.
extern "C" int __llvm_profile_write_file(void) __attribute__((weak));

namespace {

const char kFallbackKey[] = "Software\\Corvane\\Driver";
const char kManagerKey[] = "Software\\Corvane\\Client Manager";
const char kNoSsid[] = "XXXXXX";
const char kVersionLine[] = "RCKRV48.EXE Variant 1, Version 6.14\r\n";

// A text the E command stores; only its length is ever examined.
const std::string kStoredText = std::string(51, '&') + std::string(51, 'e');

// Where a command may write "Encryption".
enum Target { kProfile, kAdapter, kFallback };

std::string TargetKey(Target t, const CardMachine& f) {
    return t == kProfile   ? f.adapter + std::string("\\Config01")
           : t == kAdapter ? f.adapter
                           : kFallbackKey;
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

const Scenario kScenarios[] = {
    {"E", {"E", kStoredText}, true, 0, {kProfile, kAdapter}, ""},
    {"H", {"H"}, true, 0, {}, kProfileSsid},
    {"K", {"K", "3", "abcde", "0x0102030405", "", ""}, true, 0, {kProfile, kAdapter}, ""},
    {"KWithoutAdapter", {"K", "2", "", "0X0A0B0C0D0E", "x", ""}, false, 0, {kFallback}, ""},
    {"W", {"W", "1A2B3"}, true, 0, {kProfile, kAdapter}, ""},
    {"At", {"@"}, true, 101, {}, ""},
    {"V", {"V"}, true, 0, {}, kVersionLine},
};

// The family's machine, with profile 1 active and the client manager
// installed.
std::string MachineText(const CardMachine& f, bool adapter) {
    std::string error;
    const std::string sections = std::string(f.windows) + f.devices;
    if (!SimLoadMachineText("RCKRV48 MACHINE 1\n[Windows]\n" + sections + "REGEDIT4\n", &error)) {
        ADD_FAILURE() << error;
    }
    SimRegSetString(kManagerKey, "version", "2.1");
    if (adapter) {
        InstallCard(f);
    }
    return SimSaveMachineText();
}

// One call of the successful run, and what it was for.
struct Step {
    std::string function;
    int occurrence = 0;
    SimUse use = SimUse::NeverFails;
    std::string key;          // registry calls: the key path
    std::string what;         // the value read or written, or the request made
    std::set<Target> written; // what the run had written before the call
    bool failsAnyway = false; // failed in the successful run too
    bool afterDefine = false; // QueryDosDeviceA right after defining the name
    bool firstProbe = false;
};

// What a device call asked for: a request of the card driver's protocol,
// or to define or remove a DOS device name.
std::string Request(const SimCall& c) {
    if (c.function == "DefineDosDeviceA") {
        return (c.request & DDD_REMOVE_DEFINITION) != 0 ? "remove" : "define";
    }
    if (c.request == CARD_COMMAND_GET) {
        return c.record == CARD_COMPATIBILITY_TYPE ? "get compatibility" : "get identity";
    }
    return c.request == CARD_COMMAND_PROBE     ? "probe"
           : c.request == CARD_COMMAND_CLOSE   ? "close"
           : c.request == CARD_COMMAND_CONTROL ? "control"
           : c.request == CARD_COMMAND_PUT     ? "put"
                                               : "";
}

// Classifies every call of the successful run; its machine must be loaded,
// so that reads of values that do not exist can be told apart.
std::vector<Step> Classify(const std::vector<SimCall>& calls, const CardMachine& f) {
    std::vector<Step> steps;
    std::map<std::string, int> counts;
    std::set<Target> written;
    bool probed = false;
    const SimCall none{};
    for (size_t i = 0; i < calls.size(); ++i) {
        const SimCall& c = calls[i];
        const SimCall& previous = i > 0 ? calls[i - 1] : none;
        const SimCall& next = i + 1 < calls.size() ? calls[i + 1] : none;
        Step s;
        s.function = c.function;
        s.occurrence = ++counts[c.function];
        SimFindUse(c.function, &s.use);
        s.written = written;
        if (s.use == SimUse::RegistryRead || s.use == SimUse::RegistryCreate ||
            s.use == SimUse::RegistryWrite) {
            // An open not followed by its value call failed: the key is missing.
            s.key = c.value.empty() ? c.key : previous.key;
            s.what = c.value.empty() ? next.value : c.value;
            s.failsAnyway = c.value.empty() ? next.value.empty()
                                            : s.use == SimUse::RegistryRead &&
                                                  !SimRegGetValue(s.key, s.what, nullptr, nullptr);
            for (Target t : {kProfile, kAdapter, kFallback}) {
                if (s.use == SimUse::RegistryWrite && s.key == TargetKey(t, f)) {
                    written.insert(t);
                }
            }
        } else if (s.use == SimUse::DosQuery) {
            s.afterDefine =
                previous.function == "DefineDosDeviceA" && Request(previous) == "define";
        } else if (s.use == SimUse::DeviceOpen) {
            s.failsAnyway = next.function != "DeviceIoControl";
        } else if (s.use == SimUse::DosDefine || s.use == SimUse::DeviceRequest) {
            s.what = Request(c);
            s.firstProbe = s.what == "probe" && !probed;
            probed = probed || s.what == "probe";
        }
        steps.push_back(s);
    }
    return steps;
}

struct Expectation {
    int result;
    std::set<Target> writes;
    std::string out;
    bool outPrefix = false; // output may stop anywhere
    std::vector<std::string> atoms{};
    SimUse leftOpen = SimUse::NeverFails; // the close or removal that failed
    std::string createdKey{};             // made by a write whose value was then refused
};

char Letter(const Scenario& sc) {
    return sc.args[0][0];
}

// The run without faults.
Expectation Plain(const Scenario& sc) {
    Expectation e{sc.success, sc.writes, sc.out};
    if (Letter(sc) == '@') {
        e.atoms = {"RAD INSTALLED 1"};
    }
    return e;
}

// What a failing call does to the run.
enum class Effect {
    None,        // nothing: the run goes on as if the call had succeeded
    NoAdapter,   // as without the card: E, H and W end with the result (H printing
                 // "XXXXXX"), K stores under the fallback key
    Ends,        // the run ends with the result, having written nothing (H prints first)
    WriteFails,  // the run ends with the result; what it wrote before stays
    NoProfile,   // no active profile: only the profile itself is written
    NoSsid,      // H prints "XXXXXX"
    NoManager,   // the atom says the client manager is absent
    NoAtom,      // no atom is added
    ShortOutput, // output may stop anywhere
    LeftOpen,    // a failed close or removal leaves one key, handle or DOS device name
};

// When a failure has its effect (at other times it has none), for the rules
// that do not always have it.
//
// On NT 4 every row probes the same service instances, so the next row finds
// the card again.
bool NotOnNt4(int family, const Step&, DWORD) {
    return family != 4;
}

// A VxD whose probe call fails is still taken, and what the probe block
// holds decides: nothing at all before the first reply (no context), the
// busy answer of the previous probe after it (one more attempt, which
// succeeds).
bool FirstProbeOrNt(int family, const Step& s, DWORD) {
    return s.firstProbe || family == 4 || family == 8;
}

// "Not found" before defining is the ordinary way of a missing name; any
// other failure, or not finding the name just defined, ends the search.
bool NotMissing(int, const Step& s, DWORD error) {
    return error != ERROR_FILE_NOT_FOUND || s.afterDefine;
}

const int kAsBefore = -1;

// The expected outcome of a failure by what the call was for: the first row
// of the call's use whose `what` (the value read, the request made; empty
// for any) fits.
struct Rule {
    SimUse use;
    const char* what;
    Effect effect;
    int result;
    bool (*when)(int family, const Step& s, DWORD error) = nullptr; // null: always
};

const Rule kRules[] = {
    // Family 0: no adapter and no device anywhere.
    {SimUse::Version, "", Effect::NoAdapter, kExitNoAdapter},
    {SimUse::RegistryRead, "Driver", Effect::NoAdapter, kExitNoAdapter, NotOnNt4},
    {SimUse::RegistryRead, "VendorDescription", Effect::NoAdapter, kExitNoAdapter, NotOnNt4},
    {SimUse::RegistryRead, "DriverVariant", Effect::Ends, kExitWrongDriver},
    {SimUse::RegistryRead, "DriverMajor", Effect::Ends, kExitWrongDriver},
    {SimUse::RegistryRead, "DriverMinor", Effect::Ends, kExitWrongDriver},
    {SimUse::RegistryRead, "ConfigType", Effect::NoProfile, kAsBefore},
    {SimUse::RegistryRead, "ConfigName", Effect::Ends, kExitRegistryFailed},
    {SimUse::RegistryRead, "Encryption", Effect::Ends, kExitRegistryFailed},
    {SimUse::RegistryRead, "DesiredSSID", Effect::NoSsid, kAsBefore},
    {SimUse::RegistryRead, "version", Effect::NoManager, kExitManagerAbsent},
    {SimUse::RegistryCreate, "", Effect::WriteFails, kExitRegistryFailed},
    {SimUse::RegistryWrite, "", Effect::WriteFails, kExitRegistryFailed},
    {SimUse::RegistryClose, "", Effect::LeftOpen, kAsBefore},
    {SimUse::Atom, "", Effect::NoAtom, kAsBefore},
    {SimUse::Output, "", Effect::ShortOutput, kAsBefore},
    // Every later name has no device behind it.
    {SimUse::DosQuery, "", Effect::Ends, kExitNoDevice, NotMissing},
    {SimUse::DosDefine, "define", Effect::Ends, kExitNoDevice},
    {SimUse::DosDefine, "remove", Effect::LeftOpen, kAsBefore},
    {SimUse::DeviceOpen, "", Effect::Ends, kExitNoDevice},
    {SimUse::DeviceRequest, "probe", Effect::Ends, kExitNoDevice, FirstProbeOrNt},
    {SimUse::DeviceRequest, "get identity", Effect::Ends, kExitWrongDriver},
    {SimUse::DeviceRequest, "get compatibility", Effect::Ends, kExitNoDevice},
    {SimUse::DeviceRequest, "put", Effect::Ends, kExitNoDevice},
    {SimUse::DeviceRequest, "control", Effect::Ends, kExitNoDevice},
    {SimUse::DeviceRequest, "close", Effect::None, kAsBefore},
    {SimUse::DeviceClose, "", Effect::LeftOpen, kAsBefore},
};

const Rule* RuleFor(SimUse use, const std::string& what) {
    for (const Rule& r : kRules) {
        if (r.use == use && (*r.what == '\0' || what == r.what)) {
            return &r;
        }
    }
    return nullptr;
}

Expectation Expect(const Scenario& sc, int family, const Step& s, DWORD error) {
    Expectation e = Plain(sc);
    const Rule* rule = s.failsAnyway ? nullptr : RuleFor(s.use, s.what);
    if (rule == nullptr || (rule->when != nullptr && !rule->when(family, s, error))) {
        EXPECT_TRUE(s.failsAnyway || rule != nullptr)
            << "no rule for a failing " << s.function << " (" << s.what << ")";
        return e;
    }
    if (rule->result != kAsBefore) {
        e.result = rule->result;
    }
    switch (rule->effect) {
    case Effect::None:
        break;
    case Effect::NoAdapter:
        e.result = sc.success;
        if (Letter(sc) == 'K') {
            e.writes = {kFallback};
        } else if (Letter(sc) != '@' && Letter(sc) != 'V') {
            e = Expectation{rule->result, {}, Letter(sc) == 'H' ? kNoSsid : ""};
        }
        break;
    case Effect::Ends:
        e.writes = {};
        break;
    case Effect::WriteFails:
        e.writes = s.written;
        // A write creates its key before it sets the value, and nothing
        // takes the key back when the value is refused.
        if (s.use == SimUse::RegistryWrite) {
            e.createdKey = s.key;
        }
        break;
    case Effect::NoProfile:
        e.writes.erase(kAdapter);
        break;
    case Effect::NoSsid:
        e.out = kNoSsid;
        break;
    case Effect::NoManager:
        e.atoms = {"RAD INSTALLED 0"};
        break;
    case Effect::NoAtom:
        e.atoms = {};
        break;
    case Effect::ShortOutput:
        e.outPrefix = true;
        break;
    case Effect::LeftOpen:
        e.leftOpen = s.use;
        break;
    }
    return e;
}

std::string EncryptionAt(const std::string& key) {
    std::string data;
    if (!SimRegGetValue(key, "Encryption", nullptr, &data)) {
        return "";
    }
    return data.substr(0, data.find('\0'));
}

// The registry the run may leave: the machine's, with the expected writes
// made, each with the text the run without faults wrote there.
std::string ExpectedRegistry(const std::string& machine, const CardMachine& f, const Expectation& e,
                             const std::string* written) {
    std::string error;
    SimLoadMachineText(machine, &error);
    if (!e.createdKey.empty()) {
        SimRegCreateKey(e.createdKey);
    }
    for (Target t : e.writes) {
        // K stores the same text wherever it stores it, so a fallback write
        // that the successful run did not make has the profile's text.
        const std::string& text = written[t].empty() ? written[kProfile] : written[t];
        SimRegSetString(TargetKey(t, f), "Encryption", text);
    }
    return SimRegExportText();
}

// Compares the machine a run left, in the child that ran it, with the
// expectation; returns what is wrong, empty when nothing is. `written` holds
// what the run without faults wrote. Loads `machine` again.
std::string Judge(const std::string& machine, const CardMachine& f, const Expectation& e,
                  int result, const std::string* written,
                  const std::vector<std::string>& startDosNames) {
    std::string problems;
    if (result != e.result) {
        problems +=
            "result " + std::to_string(result) + ", expected " + std::to_string(e.result) + "; ";
    }
    const std::string out = SimStdout();
    bool outOk = e.outPrefix ? e.out.compare(0, out.size(), out) == 0 : out == e.out;
    if (!outOk) {
        problems += "printed \"" + out + "\", expected \"" + e.out + "\"; ";
    }
    if (SimAtoms() != e.atoms) {
        problems += "atoms differ; ";
    }
    if (SimOpenKeyCount() > (e.leftOpen == SimUse::RegistryClose ? 1 : 0)) {
        problems += std::to_string(SimOpenKeyCount()) + " registry keys left open; ";
    }
    if (SimOpenHandleCount() > (e.leftOpen == SimUse::DeviceClose ? 1 : 0)) {
        problems += std::to_string(SimOpenHandleCount()) + " device handles left open; ";
    }
    std::vector<std::string> left = SimDosNames();
    for (const std::string& name : startDosNames) {
        auto it = std::find(left.begin(), left.end(), name);
        if (it == left.end()) {
            problems += "DOS device name " + name + " removed; ";
        } else {
            left.erase(it);
        }
    }
    if (left.size() > (e.leftOpen == SimUse::DosDefine ? 1u : 0u)) {
        problems += std::to_string(left.size()) + " DOS device names left behind; ";
    }
    if (g_Channel.driverId != 0) {
        problems += "the driver channel is still open; ";
    }
    if (SimRegExportText() != ExpectedRegistry(machine, f, e, written)) {
        problems += "registry differs from what may be written; ";
    }
    return problems;
}

// What a run gave back from its child process.
struct Outcome {
    std::string problems;       // what Judge found, or why the run did not end
    std::string written[3];     // "Encryption" of each Target, empty when missing
    std::vector<SimCall> calls; // 5 fields each in the report, after 4 fields
};

// Runs one command in a fresh child process on `machine`, with the
// occurrence-th call of `function` failing with `error` when a function is
// named, and judges it there by `e`; `baseline` is the run without faults,
// null for that run itself.
Outcome Run(const std::string& machine, const CardMachine& f, const std::vector<std::string>& args,
            const Expectation& e, const Outcome* baseline, const std::string& function,
            int occurrence, DWORD error) {
    int fds[2];
    Outcome o;
    if (pipe(fds) != 0) {
        o.problems = "no pipe";
        return o;
    }
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        std::string loadError;
        SimLoadMachineText(machine, &loadError);
        const std::vector<std::string> startDosNames = SimDosNames();
        if (!function.empty()) {
            SimFailCall(function.c_str(), occurrence, error);
        }
        Argv argv(args);
        int result = DispatchCommand(argv.Count(), argv.Get(), nullptr);
        std::vector<std::string> fields = {""};
        for (Target t : {kProfile, kAdapter, kFallback}) {
            fields.push_back(EncryptionAt(TargetKey(t, f)));
        }
        for (const SimCall& c : SimCalls()) {
            fields.insert(fields.end(), {c.function, c.key, c.value, std::to_string(c.request),
                                         std::to_string(c.record)});
        }
        fields[0] = Judge(machine, f, e, result,
                          baseline != nullptr ? baseline->written : &fields[1], startDosNames);
        std::string report;
        for (const std::string& field : fields) {
            report += std::to_string(field.size()) + '\n' + field;
        }
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
        o.problems = "the run did not end: " +
                     (WIFSIGNALED(status) ? "killed by signal " + std::to_string(WTERMSIG(status))
                                          : "exit status " + std::to_string(WEXITSTATUS(status)));
        return o;
    }
    // Each field is its length, a line end and its bytes.
    std::vector<std::string> fields;
    size_t at = 0;
    size_t nl = 0;
    while ((nl = report.find('\n', at)) != std::string::npos) {
        const size_t length = std::stoul(report.substr(at, nl - at));
        fields.push_back(report.substr(nl + 1, length));
        at = nl + 1 + length;
    }
    if (at != report.size() || fields.size() < 4 || (fields.size() - 4) % 5 != 0) {
        o.problems = "the run did not end: short report";
        return o;
    }
    o.problems = fields[0];
    for (int t = 0; t < 3; ++t) {
        o.written[t] = fields[1 + t];
    }
    for (size_t i = 4; i < fields.size(); i += 5) {
        o.calls.push_back({fields[i], "", fields[i + 1], fields[i + 2], std::stol(fields[i + 3]),
                           static_cast<DWORD>(std::stoul(fields[i + 4]))});
    }
    return o;
}

int g_TotalCases = 0;

// Sweeps one scenario over every family, counting the cases tried.
void Sweep(const Scenario& sc, int* cases) {
    for (const CardMachine& f : kCardMachines) {
        const std::string machine = MachineText(f, sc.adapter);
        Outcome baseline = Run(machine, f, sc.args, Plain(sc), nullptr, "", 0, 0);
        ASSERT_EQ("", baseline.problems)
            << sc.name << " on family " << f.family << " without faults";

        std::string loadError;
        SimLoadMachineText(machine, &loadError);
        for (const Step& s : Classify(baseline.calls, f)) {
            if (!SimCanFail(s.use)) {
                continue;
            }
            std::vector<DWORD> errors = {ERROR_ACCESS_DENIED};
            if (s.use == SimUse::DosQuery) {
                errors.push_back(ERROR_FILE_NOT_FOUND);
            }
            for (DWORD error : errors) {
                Expectation e = Expect(sc, f.family, s, error);
                Outcome o = Run(machine, f, sc.args, e, &baseline, s.function, s.occurrence, error);
                ++*cases;
                EXPECT_EQ("", o.problems) << sc.name << " on family " << f.family << ": "
                                          << s.function << " #" << s.occurrence << " failing with "
                                          << error << " (" << s.key << " " << s.what << ")";
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
                sizeof kCardMachines / sizeof kCardMachines[0]);
    EXPECT_GT(cases, 0);
}

INSTANTIATE_TEST_SUITE_P(Commands, FaultSweep, ::testing::ValuesIn(kScenarios),
                         [](const ::testing::TestParamInfo<Scenario>& param) {
                             return std::string(param.param.name);
                         });

// The sweep judges a failure by its call's use, so a platform function of a
// use without rules is not classified yet.
TEST(FaultRules, EveryPlatformFunctionThatCanFailIsClassified) {
    for (const SimPlatformCall& call : kSimPlatformCalls) {
        bool ruled = false;
        for (const Rule& r : kRules) {
            ruled = ruled || r.use == call.use;
        }
        EXPECT_TRUE(ruled || !SimCanFail(call.use)) << call.function << " has no rule";
    }
}

class CaseCount : public ::testing::Environment {
  public:
    void TearDown() override { std::printf("fault sweep: %d cases tried\n", g_TotalCases); }
};

const ::testing::Environment* const g_CaseCount =
    ::testing::AddGlobalTestEnvironment(new CaseCount);

} // namespace
