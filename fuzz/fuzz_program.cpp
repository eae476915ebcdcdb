// Fuzz target: the whole program. The input picks a Windows family, a
// registry in which every value the program reads may be missing, empty,
// overlong, of another type or without its terminator, card drivers that
// answer anything, platform calls that fail, and an argument vector. The
// machine is written as a machine file and loaded, the command runs, and the
// run must end with one of the program's result codes, write nothing but
// "Encryption" texts, print only for H and V, and leave nothing open. The
// model of the command-line checks (command_model.h) judges every result;
// the arguments are mostly the command's own, typed slightly wrong.
#include "fuzz/command_model.h"
#include "fuzz/harness.h"

#include "keyrecord/keyrecord.h"
#include "simwin/simctl.h"
#include "simwin/simctl_devices.h"
#include "simwin/simctl_registry.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

const char* const kCardIds[] = {
    "KESTRAN_INSTRUMENTS-AIRLOOM/IEEE-4E21",
    "KESTRAN_INSTRUMENTS-AIRLOOM/IEEE-9A07",
    "KESTRAN_INSTRUMENTS-AIRLOOM/IEEE-D3B5",
    "TMX-AirLoom/IEEE-2C68",
    "TMX-AirLoom/IEEE-F170",
};

// Every device name the program may look for, and one it never does.
const char* const kDeviceNames[] = {
    "RUKRV41.VXD", "RUKRV48.VXD", "RNKRV521",  "RNKRV522",  "RNKRV529",    "PcCard0-0",
    "PcCard0-1",   "PcCard1-0",   "PcCard2-1", "PcCard3-1", "RUKRV52.VXD",
};

// Every platform function that can fail, in the list's order.
std::vector<SimPlatformCall> FunctionsThatCanFail() {
    std::vector<SimPlatformCall> list;
    for (const SimPlatformCall& call : kSimPlatformCalls) {
        if (SimCanFail(call.use)) {
            list.push_back(call);
        }
    }
    return list;
}

std::string Hex(unsigned v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%x", v);
    return buf;
}

// A registry value line of the machine file's REGEDIT4 part.
std::string ValueLine(const std::string& name, unsigned type, const std::string& data) {
    std::string line = "\"" + name + "\"=hex(" + Hex(type) + "):";
    for (size_t i = 0; i < data.size(); ++i) {
        line += (i > 0 ? "," : "") + Hex(static_cast<unsigned char>(data[i]));
    }
    return line + "\n";
}

// One value the program reads: as the program wants it, absent, or spoilt in
// one of the ways a registry can spoil it. Every choice of the input here and
// below gives the machine the program succeeds on when its bytes are 0 (what
// the input gives once it runs out), so short inputs reach the end of every
// command and longer ones spoil it bit by bit.
std::string MaybeValue(FuzzedDataProvider& in, const std::string& name, const std::string& good) {
    switch (in.ConsumeIntegralInRange(0, 9)) {
    case 0:
        return ValueLine(name, REG_SZ, good + '\0');
    case 1:
        return "";
    case 2: // a number as a 32-bit value, or a text as raw bytes
        return ValueLine(name, in.ConsumeBool() ? REG_DWORD : REG_BINARY,
                         std::string(1, static_cast<char>(std::atoi(good.c_str()))) +
                             std::string(3, '\0'));
    case 3: // without its terminator
        return ValueLine(name, REG_SZ, good);
    case 4: // empty, or only a terminator
        return ValueLine(name, REG_SZ, in.ConsumeBool() ? "" : std::string(1, '\0'));
    case 5:
    case 6: { // overlong, around the limits of the program's buffers
        static const size_t kLengths[] = {31,  32,  33,  63,  64,  65,  101, 102, 103, 127,
                                          128, 129, 255, 256, 257, 258, 259, 260, 400};
        size_t length = in.PickValueInArray(kLengths);
        std::string text = good;
        text.resize(length, in.ConsumeBool() ? ' ' : '7');
        return ValueLine(name, REG_SZ, in.ConsumeBool() ? text : text + '\0');
    }
    case 7: // the right text with something after it
        return ValueLine(name, REG_SZ, good + in.ConsumeRandomLengthString(8) + '\0');
    default: // anything at all
        return ValueLine(name, in.ConsumeIntegralInRange<unsigned>(0, 12),
                         in.ConsumeRandomLengthString(300));
    }
}

// 0 means "yes", so that the machine is complete by default.
bool Present(FuzzedDataProvider& in) {
    return in.ConsumeIntegralInRange(0, 7) != 7;
}

std::string AdapterKeyFor(int family, FuzzedDataProvider& in, std::string* driver) {
    switch (family) {
    case 1:
    case 2:
    case 8: {
        static const char* const kDrivers[] = {"Net\\0003",
                                               "{4D36E972-E325-11CE-BFC1-08002BE10318}\\0007"};
        *driver = in.PickValueInArray(kDrivers);
        if (in.ConsumeIntegralInRange(0, 7) == 7) {
            // Long enough that the adapter key path would not fit.
            driver->append(in.ConsumeIntegralInRange<size_t>(40, 120), 'x');
        }
        std::string prefix = family == 8 ? "System\\CurrentControlSet\\Control\\Class\\"
                                         : "System\\CurrentControlSet\\Services\\Class\\";
        return prefix + *driver;
    }
    default: {
        static const char* const kInstances[] = {"1", "2", "5", "9", "0", "10"};
        return std::string("System\\CurrentControlSet\\Services\\RNKRV52") +
               in.PickValueInArray(kInstances) + "\\Parameters";
    }
    }
}

// The families, each with the device its card driver has. A made-up version
// and a failing version query get the registry and device of Windows 2000.
const struct {
    int family;
    const char* windows;
    const char* device;
} kFamilies[] = {
    {8, "PlatformId=2\nMajorVersion=5\nMinorVersion=0\n", "PcCard0-0"},
    {1, "PlatformId=1\nMajorVersion=4\nMinorVersion=0\n", "RUKRV41.VXD"},
    {2, "PlatformId=1\nMajorVersion=4\nMinorVersion=10\n", "RUKRV48.VXD"},
    {4, "PlatformId=2\nMajorVersion=4\nMinorVersion=0\n", "RNKRV521"},
};

std::string BuildMachine(FuzzedDataProvider& in) {
    const int choice = in.ConsumeIntegralInRange(0, 5);
    const auto& f = kFamilies[choice < 4 ? choice : 0];
    const int family = f.family;
    std::string windows = f.windows;
    if (choice == 4) {
        windows = "PlatformId=" + std::to_string(in.ConsumeIntegralInRange(0, 3)) +
                  "\nMajorVersion=" + std::to_string(in.ConsumeIntegral<uint8_t>()) + "\n";
    } else if (choice == 5) {
        windows = "VersionQuery=fails\n";
    }
    std::string text = "RCKRV48 MACHINE 1\n[Windows]\n" + windows;
    text += "BuildNumber=" + std::to_string(in.ConsumeIntegral<uint32_t>()) + "\n";
    std::string csd = in.ConsumeRandomLengthString(127);
    bool csdOk = true;
    for (char c : csd) {
        csdOk = csdOk && c >= 0x20 && c < 0x7F && c != '"';
    }
    if (csdOk) {
        text += "CSDVersion=\"" + csd + "\"\n";
    }

    // One device by default, the one the family's driver has.
    static const int kDeviceCounts[] = {1, 0, 2};
    int devices = in.PickValueInArray(kDeviceCounts);
    std::vector<std::string> used;
    for (int d = 0; d < devices; ++d) {
        std::string name = in.ConsumeBool() ? in.PickValueInArray(kDeviceNames) : f.device;
        bool twice = false;
        for (const std::string& u : used) {
            twice = twice || u == name;
        }
        if (twice) {
            continue;
        }
        used.push_back(name);
        text += "[Device " + name + "]\n";
        text += "Busy=" + std::to_string(in.ConsumeIntegralInRange(0, 12)) + "\n";
        static const unsigned kStatuses[] = {0, 8, 65, 66, 68, 255, 1};
        auto status = [&in]() {
            return in.ConsumeBool() ? in.ConsumeIntegral<uint16_t>()
                                    : in.PickValueInArray(kStatuses);
        };
        text += "ProbeStatus=" + std::to_string(status()) + "\n";
        if (in.ConsumeBool()) {
            text += "Context=" + std::to_string(in.ConsumeIntegral<uint32_t>()) + "\n";
        }
        for (const char* record : {"Identity", "Compatibility"}) {
            if (in.ConsumeBool()) {
                std::string words;
                size_t count = in.ConsumeIntegralInRange<size_t>(0, 12);
                for (size_t w = 0; w < count; ++w) {
                    words += std::to_string(in.ConsumeIntegral<uint16_t>()) + " ";
                }
                text += std::string(record) + "=" + words + "\n";
            }
        }
        for (const char* request : {"IdentityStatus", "CompatibilityStatus", "KeyTextStatus",
                                    "ControlStatus", "PutStatus"}) {
            if (in.ConsumeBool()) {
                text += std::string(request) + "=" + std::to_string(status()) + "\n";
            }
        }
        if (in.ConsumeBool()) {
            text += in.ConsumeBool() ? "CloseStatus=silent\n"
                                     : "CloseStatus=" + std::to_string(status()) + "\n";
        }
        if (!Present(in)) {
            text += "OpenError=5\n";
        }
        if (!Present(in)) {
            text += "CallError=31\n";
        }
    }
    int dosNames = in.ConsumeIntegralInRange(0, 2);
    if (dosNames > 0) {
        text += "[DosDevices]\n";
        for (int d = 0; d < dosNames; ++d) {
            std::string name = in.PickValueInArray(kDeviceNames);
            std::string target = in.ConsumeBool() ? in.PickValueInArray(kDeviceNames) : name;
            text += name + "=\\Device\\" + target + "\n";
        }
    }

    text += "REGEDIT4\n";
    std::string driver;
    const std::string adapter = AdapterKeyFor(family, in, &driver);
    int row = in.ConsumeIntegralInRange(0, 4);
    if (family != 4 && Present(in)) {
        std::string enumKey =
            family == 8 ? "System\\CurrentControlSet\\Enum\\PCMCIA\\" : "Enum\\PCMCIA\\";
        // The family's own instance first.
        static const char* const kInstances9x[] = {"\\0", "\\1", "\\2"};
        static const char* const kInstances2000[] = {"\\1", "\\0", "\\2"};
        enumKey += std::string(kCardIds[row]) + (family == 8 ? in.PickValueInArray(kInstances2000)
                                                             : in.PickValueInArray(kInstances9x));
        text += "[HKEY_LOCAL_MACHINE\\" + enumKey + "]\n" + MaybeValue(in, "Driver", driver);
    }
    if (Present(in)) {
        text += "[HKEY_LOCAL_MACHINE\\" + adapter + "]\n";
        text += MaybeValue(in, "VendorDescription", "CORVANE PC Card");
        text += MaybeValue(in, "DriverVariant", "1");
        text += MaybeValue(in, "DriverMajor", "6");
        text += MaybeValue(in, "DriverMinor", "14");
        text +=
            MaybeValue(in, "ConfigType", std::to_string((in.ConsumeIntegralInRange(0, 5) + 1) % 6));
        text += MaybeValue(in, "DesiredSSID", "adapter-net");
        text += MaybeValue(in, "Encryption", g_DefaultKeyRecordText);
        for (int profile = 0; profile <= 5; ++profile) {
            if (Present(in) == (profile >= 1 && profile <= 4)) {
                text += "[HKEY_LOCAL_MACHINE\\" + adapter + "\\Config0" + std::to_string(profile) +
                        "]\n";
                text += MaybeValue(in, "ConfigName", "Office");
                text += MaybeValue(in, "DesiredSSID", "office-net");
                text += MaybeValue(in, "Encryption", g_DefaultKeyRecordText);
            }
        }
    }
    if (in.ConsumeBool()) {
        text += "[HKEY_LOCAL_MACHINE\\Software\\Corvane\\Driver]\n";
        text += MaybeValue(in, "Encryption", g_DefaultKeyRecordText);
    }
    if (Present(in)) {
        text += "[HKEY_LOCAL_MACHINE\\Software\\Corvane\\Client Manager]\n";
        text += MaybeValue(in, "version", "2.1");
    }
    return text;
}

// A token of the kind command lines carry, or any text.
std::string Argument(FuzzedDataProvider& in) {
    static const std::string kTokens[] = {
        // profiles, default key numbers and one-character keys
        "1", "0", "2", "3", "4", "5", "01", "", "a", "x",
        // keys of W and K, and near misses of them
        "abcde", "1A2B3", "1a2b3", "1a2b", "1a2b3c", "1g2b3", "0x0102030405", "0X0A0B0C0D0E",
        "0x0102030405060708090a0b0c0d", "abcdefghijklm", "0x01020304g5",
        // texts of E: the one length it takes, and one less and one more
        g_DefaultKeyRecordText, std::string(101, '&'), std::string(102, 'e'),
        std::string(103, 'A')};
    if (in.ConsumeBool()) {
        return in.ConsumeRandomLengthString(300);
    }
    return in.PickValueInArray(kTokens);
}

// Characters just outside the ranges the checks test ('0'-'9', 'a'-'f',
// 'A'-'F', '0'-'4', '1'-'4', x), and bytes over 0x7F, some of them a checked
// character with the top bit set.
const char kNearMisses[] = {'/',    ':',    '@',    'G',    '`',    'g',    ' ',    'x',
                            'X',    '5',    '0',    'f',    '\x80', '\xB0', '\xB1', '\xB4',
                            '\xB9', '\xC1', '\xC6', '\xE1', '\xE6', '\xF8', '\xFF', '\xC8'};

// `a` as it is, or typed slightly wrong.
std::string NearMiss(FuzzedDataProvider& in, std::string a) {
    switch (in.ConsumeIntegralInRange(0, 5)) {
    case 0:
        return a;
    case 1:
        if (!a.empty()) {
            a[in.ConsumeIntegralInRange<size_t>(0, a.size() - 1)] =
                in.PickValueInArray(kNearMisses);
        }
        return a;
    case 2:
        return a.empty() ? a : a.substr(0, a.size() - 1);
    case 3:
        a.insert(in.ConsumeIntegralInRange<size_t>(0, a.size()), 1,
                 in.PickValueInArray(kNearMisses));
        return a;
    case 4:
        return a + static_cast<char>(in.ConsumeIntegralInRange(0x80, 0xFF));
    default:
        return "";
    }
}

// The arguments after the letter: the command's own, slightly wrong, or any tokens or texts.
std::vector<std::string> Arguments(FuzzedDataProvider& in, const std::string& letter) {
    std::vector<std::string> args;
    if (in.ConsumeBool()) {
        int count = in.ConsumeIntegralInRange(0, 6);
        for (int i = 0; i < count; ++i) {
            args.push_back(Argument(in));
        }
        return args;
    }
    static const char* const kProfiles[] = {"1", "0", "2", "3", "4"};
    static const char* const kPushKeys[] = {"1A2B3", "c0ffe", "FfFfF", "09afA", "00000"};
    static const char* const kNumbers[] = {"2", "1", "3", "4"};
    // One key of each class K takes.
    static const char* const kKeys[] = {
        // text keys of 5 characters (any bytes), an empty slot, one character
        "abcde", "", "x", "\xE9", "ab\xFF\x80z",
        // a text key of 13, then 5 and 13 bytes in hexadecimal behind 0x or 0X
        "abcdefghijklm", "0x0102030405", "0X0a0B0c0D0e", "0x000102030405060708090a0B0c",
        "0XAbCdEf0123456789aBcDeF0123"};
    if (letter == "E") {
        args = {g_DefaultKeyRecordText};
    } else if (letter == "K") {
        args = {in.PickValueInArray(kNumbers)};
        for (int k = 0; k < 4; ++k) {
            args.push_back(in.PickValueInArray(kKeys));
        }
    } else if (letter == "W") {
        args = {in.PickValueInArray(kPushKeys)};
    }
    if ((letter == "E" || letter == "H" || letter == "W") && in.ConsumeBool()) {
        args.push_back(in.PickValueInArray(kProfiles));
    }
    for (std::string& a : args) {
        // Mostly typed wrong rather than swapped, so that a command with
        // five arguments still gets near misses of each.
        a = in.ConsumeIntegralInRange(0, 4) == 4 ? Argument(in) : NearMiss(in, a);
    }
    switch (in.ConsumeIntegralInRange(0, 2)) {
    case 1:
        if (!args.empty()) {
            args.pop_back();
        }
        break;
    case 2:
        args.push_back(in.ConsumeBool() ? in.PickValueInArray(kProfiles) : Argument(in));
        break;
    default:
        break;
    }
    return args;
}

// What H and V print when no output call fails.
void CheckOutput(const std::string& letter, int result, const std::string& out) {
    if (letter == "V") {
        FUZZ_CHECK(out == (result == 0 ? "RCKRV48.EXE Variant 1, Version 6.14\r\n" : ""),
                   "V printed " + out);
    } else if (letter == "H") {
        if (result == 2) {
            FUZZ_CHECK(out == "XXXXXX", "H without adapter printed " + out);
        } else if (result == 4) {
            FUZZ_CHECK(out.empty(), "H printed " + out + " for a malformed command line");
        } else {
            // A network name fits its 63 characters, and is text.
            FUZZ_CHECK(out.size() <= 63 && out.find('\0') == std::string::npos,
                       "H printed " + std::to_string(out.size()) + " bytes");
        }
    }
}

std::string WithoutOpenHandles(const std::string& text) {
    std::string out;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        end = end == std::string::npos ? text.size() : end + 1;
        if (text.compare(at, 12, "OpenHandles=") != 0) {
            out.append(text, at, end - at);
        }
        at = end;
    }
    return out;
}

// The first line in which two machine texts differ, both ways, for the report.
std::string FirstDifference(const std::string& a, const std::string& b) {
    size_t at = 0;
    while (at < a.size() && at < b.size() && a[at] == b[at]) {
        ++at;
    }
    size_t start = a.rfind('\n', at);
    start = start == std::string::npos ? 0 : start + 1;
    return "\n  " + a.substr(start, a.find('\n', at) - start) + "\n  " +
           b.substr(start, b.find('\n', at) - start);
}

std::string Shown(const std::vector<std::string>& args) {
    std::string text;
    for (const std::string& a : args) {
        text += " [";
        for (char c : a) {
            text += c >= 0x20 && c < 0x7F ? std::string(1, c)
                                          : "\\x" + Hex(static_cast<unsigned char>(c));
        }
        text += "]";
    }
    return text;
}

// The run against the model of the command-line checks; a refused command
// line leaves no trace.
void CheckAgainstModel(const std::vector<std::string>& args, int result) {
    const CommandVerdict verdict = JudgeCommandLine(args);
    const std::string run = "result " + std::to_string(result) + " for" + Shown(args);
    if (verdict.decided >= 0) {
        FUZZ_CHECK(result == verdict.decided,
                   run + ", the command line decides " + std::to_string(verdict.decided));
    } else {
        bool possible = false;
        for (int r : verdict.possible) {
            possible = possible || r == result;
        }
        FUZZ_CHECK(possible, run);
    }
    const bool refused = result == 1 || result == 4;
    for (const SimCall& call : SimCalls()) {
        const std::string called = run + " called " + call.function + " " + call.args;
        FUZZ_CHECK(verdict.identifiesPlatform, called);
        SimUse use = SimUse::NeverFails;
        SimFindUse(call.function, &use);
        if (verdict.decided >= 0) {
            FUZZ_CHECK(use == SimUse::Version || (result == 0 && args[0] == "V"), called);
        }
        // Registry writes after a refusal are the writer check's to catch.
        if (refused) {
            FUZZ_CHECK(use != SimUse::DosQuery && use != SimUse::DosDefine &&
                           use != SimUse::DeviceOpen && use != SimUse::DeviceRequest,
                       called);
        }
    }
    if (refused) {
        FUZZ_CHECK(SimStdout().empty(), run + " printed " + SimStdout());
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    // The command line first: it takes the input's last bytes, which every
    // mutation of a short input reaches, so command lines vary as much as
    // machines do.
    std::vector<std::string> args;
    static const char* const kLetters[] = {"W", "E", "K", "H", "@", "V", "h", "EE", "", "?"};
    if (Present(in)) {
        const std::string command = in.ConsumeBool() ? in.ConsumeRandomLengthString(3)
                                                     : std::string(in.PickValueInArray(kLetters));
        std::vector<std::string> rest = Arguments(in, command);
        args.push_back(NearMiss(in, command));
        args.insert(args.end(), rest.begin(), rest.end());
    }

    const std::string machine = BuildMachine(in);
    std::string error;
    FUZZ_CHECK(SimLoadMachineText(machine, &error), "machine not loaded: " + error);

    bool closeFaults = false;
    int faults = in.ConsumeIntegralInRange(0, 2);
    static const std::vector<SimPlatformCall> kFunctions = FunctionsThatCanFail();
    for (int f = 0; f < faults; ++f) {
        const SimPlatformCall& call =
            kFunctions[in.ConsumeIntegralInRange<size_t>(0, kFunctions.size() - 1)];
        static const DWORD kErrors[] = {ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED,
                                        ERROR_INVALID_PARAMETER, ERROR_MORE_DATA};
        SimFailCall(call.function, in.ConsumeIntegralInRange(0, 12), in.PickValueInArray(kErrors));
        closeFaults = closeFaults || call.use == SimUse::RegistryClose ||
                      call.use == SimUse::DeviceClose || call.use == SimUse::DosDefine;
    }

    // A command line carries no zero byte: each argument ends at its first.
    for (std::string& a : args) {
        a.resize(std::strlen(a.c_str()));
    }
    const std::vector<std::string> dosNames = SimDosNames();
    const size_t atoms = SimAtoms().size();
    SimClearCallLog();
    const int result = RunProgram(args);
    const std::string letter = args.empty() ? "" : args[0];

    FUZZ_CHECK(IsResultCode(result), "result " + std::to_string(result));
    CheckAgainstModel(args, result);
    CheckNothingLeft(dosNames, closeFaults);
    FUZZ_CHECK(SimStdout().empty() || letter == "H" || letter == "V", "printed for " + letter);
    if (faults == 0) {
        CheckOutput(letter, result, SimStdout());
    }
    FUZZ_CHECK(SimSleepCount() <= 10, std::to_string(SimSleepCount()) + " waits");
    bool writer = (letter == "E" || letter == "K" || letter == "W") && (result == 0 || result == 3);
    for (const SimCall& call : SimCalls()) {
        if (call.function == "RegSetValueExA") {
            FUZZ_CHECK(writer, "registry written with result " + std::to_string(result));
            FUZZ_CHECK(call.value == "Encryption" &&
                           call.args.find(" type=1 size=103") != std::string::npos,
                       "unexpected write: " + call.args);
        }
        if (call.function == "RegCreateKeyExA") {
            FUZZ_CHECK(writer, "key created with result " + std::to_string(result));
        }
    }
    std::vector<std::string> after = SimAtoms();
    if (letter == "@" && (result == 100 || result == 101)) {
        FUZZ_CHECK(after.size() <= atoms + 1, "more than one atom added");
    } else {
        FUZZ_CHECK(after.size() == atoms, "atom added with result " + std::to_string(result));
    }

    // The machine file form keeps everything the run left, except the count
    // of open handles, which it only reports: a new run starts with none.
    const std::string saved = WithoutOpenHandles(SimSaveMachineText());
    FUZZ_CHECK(SimLoadMachineText(saved, &error), "saved machine not loaded: " + error);
    const std::string again = WithoutOpenHandles(SimSaveMachineText());
    FUZZ_CHECK(again == saved,
               "the machine changed on saving and loading: " + FirstDifference(saved, again));

    ResetProcessState();
    return 0;
}
