// Probe for the Wine suite, linked with the program's own start-up in place
// of the dispatcher, so it sees the argument vector exactly as the program
// does. It reads and sets the state of the Wine machine that the program's
// results leave behind, beyond the registry:
//
//   rck_probe find-atom NAME...   prints 1 or 0 for each NAME: is it in the
//                                 global atom table
//   rck_probe add-atom NAME...    adds each NAME to the global atom table
//   rck_probe delete-atom NAME... removes each NAME however often it was added
//   rck_probe key-exists KEY...   prints 1 or 0 for each KEY (as for export)
//   rck_probe dos-devices         prints every DOS device name, one a line
//   rck_probe export KEY...       prints the keys, with everything below them, as
//                                 REGEDIT4 text; KEY starts with HKEY_LOCAL_MACHINE
//                                 or HKEY_CURRENT_USER, a missing key prints nothing
//   rck_probe memory              checks the memory functions the start-up
//                                 supplies; prints what failed, exit code 1
//   rck_probe define NAME...      defines each NAME as a DOS device name for
//                                 \Device\NAME, as the program's W does, and
//                                 removes it again; exit code 1 when one failed
//   rck_probe spawn               starts itself once for every line of standard
//                                 input, with that line as its whole command line,
//                                 and prints "line <hex of the line>" before each
//   rck_probe steps               does every line of standard input as a command of
//                                 its own, its fields separated by tabs, and prints
//                                 "< <exit code>" after each: one process start for
//                                 all that a scenario sets up, or reads back
//
// Commands for the registry and the test card driver, mostly given as steps:
//
//   create-key KEY                makes the key and the keys on its way
//   delete-key KEY                removes the key with everything below it
//   set-value KEY NAME TYPE HEX   sets a value of the numbered type to the bytes
//   delete-value KEY NAME
//   start-service NAME            starts the service; prints the error code, 0 when
//   stop-service NAME             it started; or stops it and waits until it has
//
// Started by spawn, it prints the argument vector three ways, one line each:
// "own", as the program's start-up split it, then "msvcrt" and "ucrt", as the
// two C runtimes of the machine split the same command line. Each line holds
// the name and then every argument as a tab and the argument's bytes in hex.
#include "cli/dispatcher.h"
#include "runtime/text.h"

#include <windows.h>

namespace {

const char kChildVariable[] = "RCK_PROBE_ARGV";

char g_Line[4096];
char g_Input[1 << 20];
char* g_Fields[1024];
char g_DosDevices[65536];
char g_ModulePath[MAX_PATH];
char g_KeyPath[2048];
char g_ValueName[16384];
unsigned char g_ValueData[65536];

int StartsWith(const char* text, const char* prefix) {
    while (*prefix != '\0' && *prefix == *text) {
        ++prefix;
        ++text;
    }
    return *prefix == '\0';
}

void PrintBytes(const char* bytes, int count) {
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), bytes, static_cast<DWORD>(count), &written, nullptr);
}

void Print(const char* text) {
    PrintBytes(text, TextLength(text));
}

// REGEDIT4 escapes only the backslash and the double quote.
void PrintEscaped(const char* text, int count) {
    int start = 0;
    for (int i = 0; i < count; ++i) {
        if (text[i] == '\\' || text[i] == '"') {
            PrintBytes(text + start, i - start);
            PrintBytes("\\", 1);
            start = i;
        }
    }
    PrintBytes(text + start, count - start);
}

void PrintHex(const char* bytes, int count) {
    for (int i = 0; i < count; ++i) {
        wsprintfA(g_Line, "%02x", static_cast<unsigned char>(bytes[i]));
        Print(g_Line);
    }
}

void PrintVector(const char* name, int argc, char** argv) {
    Print(name);
    for (int i = 0; i < argc; ++i) {
        Print("\t");
        PrintHex(argv[i], TextLength(argv[i]));
    }
    Print("\n");
}

struct StartupInfo {
    int newMode;
};
typedef int(__cdecl* GetMainArgs)(int*, char***, char***, int, StartupInfo*);
typedef int(__cdecl* ConfigureNarrowArgv)(int);
typedef int*(__cdecl* ArgcPointer)();
typedef char***(__cdecl* ArgvPointer)();

template <typename Function> Function Find(HMODULE module, const char* name) {
    FARPROC found = module ? GetProcAddress(module, name) : nullptr;
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(found));
}

int PrintArgumentVectors(int argc, char** argv) {
    PrintVector("own", argc, argv);

    HMODULE msvcrt = LoadLibraryA("msvcrt.dll");
    GetMainArgs getMainArgs = Find<GetMainArgs>(msvcrt, "__getmainargs");
    int crtArgc = 0;
    char** crtArgv = nullptr;
    char** crtEnv = nullptr;
    StartupInfo info = {0};
    if (getMainArgs == nullptr || getMainArgs(&crtArgc, &crtArgv, &crtEnv, 0, &info) != 0) {
        Print("msvcrt unavailable\n");
    } else {
        PrintVector("msvcrt", crtArgc, crtArgv);
    }

    // Mode 1: the arguments as written, without wildcard expansion.
    HMODULE ucrt = LoadLibraryA("ucrtbase.dll");
    ConfigureNarrowArgv configure = Find<ConfigureNarrowArgv>(ucrt, "_configure_narrow_argv");
    ArgcPointer argcOf = Find<ArgcPointer>(ucrt, "__p___argc");
    ArgvPointer argvOf = Find<ArgvPointer>(ucrt, "__p___argv");
    if (configure == nullptr || argcOf == nullptr || argvOf == nullptr || configure(1) != 0) {
        Print("ucrt unavailable\n");
    } else {
        PrintVector("ucrt", *argcOf(), *argvOf());
    }
    return 0;
}

// All of standard input into g_Input, ended by a NUL.
void ReadInput() {
    DWORD got = 0;
    DWORD total = 0;
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    while (total < sizeof g_Input - 1 &&
           ReadFile(input, g_Input + total, sizeof g_Input - 1 - total, &got, nullptr) && got > 0) {
        total += got;
    }
    g_Input[total] = '\0';
}

int Spawn() {
    ReadInput();
    if (GetModuleFileNameA(nullptr, g_ModulePath, sizeof g_ModulePath) == 0 ||
        !SetEnvironmentVariableA(kChildVariable, "1")) {
        return 2;
    }
    int failures = 0;
    char* line = g_Input;
    while (*line != '\0') {
        char* end = line;
        while (*end != '\0' && *end != '\n') {
            ++end;
        }
        char* next = *end == '\0' ? end : end + 1;
        if (end > line && end[-1] == '\r') {
            --end;
        }
        *end = '\0';
        Print("line ");
        PrintHex(line, static_cast<int>(end - line));
        Print("\n");
        STARTUPINFOA startup = {};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION process = {};
        if (!CreateProcessA(g_ModulePath, line, nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                            &startup, &process)) {
            Print("cannot start\n");
            ++failures;
        } else {
            WaitForSingleObject(process.hProcess, INFINITE);
            // A child that printed nothing shows at least how it ended.
            DWORD code = 0;
            GetExitCodeProcess(process.hProcess, &code);
            wsprintfA(g_Line, "exit\t%lx\n", code);
            Print(g_Line);
            CloseHandle(process.hThread);
            CloseHandle(process.hProcess);
        }
        line = next;
    }
    return failures == 0 ? 0 : 1;
}

int DeleteAtom(const char* name) {
    ATOM atom;
    int rounds = 0;
    while ((atom = GlobalFindAtomA(name)) != 0 && rounds < 10000) {
        GlobalDeleteAtom(atom);
        ++rounds;
    }
    return GlobalFindAtomA(name) == 0 ? 0 : 1;
}

// Each a separate call, so the compiler cannot fold the answers in.
extern "C" {
void* memset(void* dest, int value, decltype(sizeof 0) count);
void* memcpy(void* dest, const void* src, decltype(sizeof 0) count);
void* memmove(void* dest, const void* src, decltype(sizeof 0) count);
int memcmp(const void* a, const void* b, decltype(sizeof 0) count);
}

int Expect(int good, const char* what) {
    if (!good) {
        Print(what);
        Print(" failed\n");
    }
    return good ? 0 : 1;
}

int CheckMemoryFunctions() {
    unsigned char a[16];
    unsigned char b[16];
    int failures = 0;
    for (int i = 0; i < 16; ++i) {
        a[i] = static_cast<unsigned char>(i);
    }
    // Overlapping moves in both directions must copy as if through a buffer.
    memmove(a + 2, a, 10);
    failures += Expect(a[2] == 0 && a[11] == 9 && a[12] == 12, "memmove up");
    memmove(a, a + 2, 10);
    failures += Expect(a[0] == 0 && a[9] == 9 && a[10] == 8 && a[11] == 9, "memmove down");
    failures += Expect(memset(b, 0x1FF, 16) == b && b[0] == 0xFF && b[15] == 0xFF, "memset");
    failures += Expect(memcpy(b, a, 4) == b && b[3] == 3 && b[4] == 0xFF, "memcpy");
    // Bytes compare as unsigned.
    failures += Expect(memcmp(a, b, 4) == 0 && memcmp(a, b, 5) < 0 && memcmp(b, a, 5) > 0 &&
                           memcmp(a, b, 0) == 0,
                       "memcmp");
    return failures == 0 ? 0 : 1;
}

int DefineAndRemove(const char* name) {
    char target[MAX_PATH];
    wsprintfA(target, "\\Device\\%.200s", name);
    if (!DefineDosDeviceA(DDD_RAW_TARGET_PATH, name, target)) {
        return 1;
    }
    return DefineDosDeviceA(DDD_RAW_TARGET_PATH | DDD_REMOVE_DEFINITION | DDD_EXACT_MATCH_ON_REMOVE,
                            name, target)
               ? 0
               : 1;
}

int PrintDosDevices() {
    DWORD length = QueryDosDeviceA(nullptr, g_DosDevices, sizeof g_DosDevices);
    if (length == 0) {
        return 1;
    }
    for (DWORD i = 0; i < length && g_DosDevices[i] != '\0';) {
        Print(g_DosDevices + i);
        Print("\n");
        while (g_DosDevices[i] != '\0') {
            ++i;
        }
        ++i;
    }
    return 0;
}

// One value as a REGEDIT4 line. Texts with exactly one terminator, at the
// end, are written as texts; everything else as the bytes it holds, so that
// a comparison sees any difference in type or length.
void PrintValue(const char* name, DWORD type, const unsigned char* data, DWORD size) {
    if (name[0] == '\0') {
        Print("@=");
    } else {
        Print("\"");
        PrintEscaped(name, TextLength(name));
        Print("\"=");
    }
    int terminated = size > 0 && data[size - 1] == '\0';
    for (DWORD i = 0; terminated && i + 1 < size; ++i) {
        terminated = data[i] != '\0';
    }
    if (type == REG_SZ && terminated) {
        Print("\"");
        PrintEscaped(reinterpret_cast<const char*>(data), static_cast<int>(size - 1));
        Print("\"\n");
    } else if (type == REG_DWORD && size == 4) {
        wsprintfA(g_Line, "dword:%08x\n",
                  static_cast<unsigned>(data[0] | (data[1] << 8) | (data[2] << 16)) |
                      (static_cast<unsigned>(data[3]) << 24));
        Print(g_Line);
    } else {
        wsprintfA(g_Line, "hex(%x):", static_cast<unsigned>(type));
        Print(g_Line);
        for (DWORD i = 0; i < size; ++i) {
            wsprintfA(g_Line, i == 0 ? "%02x" : ",%02x", data[i]);
            Print(g_Line);
        }
        Print("\n");
    }
}

// Prints the key whose path below `root` starts at g_KeyPath + `start`, and
// all keys below it. g_KeyPath holds the full path as printed.
int ExportKey(HKEY root, int start) {
    HKEY key;
    if (RegOpenKeyExA(root, g_KeyPath + start, 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return 0;
    }
    Print("\n[");
    Print(g_KeyPath);
    Print("]\n");
    for (DWORD i = 0;; ++i) {
        DWORD nameSize = sizeof g_ValueName;
        DWORD dataSize = sizeof g_ValueData;
        DWORD type = 0;
        if (RegEnumValueA(key, i, g_ValueName, &nameSize, nullptr, &type, g_ValueData, &dataSize) !=
            ERROR_SUCCESS) {
            break;
        }
        PrintValue(g_ValueName, type, g_ValueData, dataSize);
    }
    int length = TextLength(g_KeyPath);
    for (DWORD i = 0;; ++i) {
        DWORD nameSize = static_cast<DWORD>(sizeof g_KeyPath) - length - 1;
        g_KeyPath[length] = '\\';
        if (RegEnumKeyExA(key, i, g_KeyPath + length + 1, &nameSize, nullptr, nullptr, nullptr,
                          nullptr) != ERROR_SUCCESS) {
            break;
        }
        ExportKey(root, start);
    }
    g_KeyPath[length] = '\0';
    RegCloseKey(key);
    return 1;
}

// The root key of a full key name and where the path below it starts.
HKEY SplitKeyName(const char* name, int* start) {
    if (StartsWith(name, "HKEY_LOCAL_MACHINE\\")) {
        *start = TextLength("HKEY_LOCAL_MACHINE\\");
        return HKEY_LOCAL_MACHINE;
    }
    if (StartsWith(name, "HKEY_CURRENT_USER\\")) {
        *start = TextLength("HKEY_CURRENT_USER\\");
        return HKEY_CURRENT_USER;
    }
    return nullptr;
}

int Export(int count, char** keys) {
    Print("REGEDIT4\n");
    for (int i = 0; i < count; ++i) {
        int start = 0;
        HKEY root = SplitKeyName(keys[i], &start);
        if (root == nullptr || TextLength(keys[i]) >= static_cast<int>(sizeof g_KeyPath)) {
            return 2;
        }
        wsprintfA(g_KeyPath, "%s", keys[i]);
        ExportKey(root, start);
    }
    return 0;
}

int KeyExists(const char* name) {
    int start = 0;
    HKEY root = SplitKeyName(name, &start);
    HKEY key;
    if (root == nullptr || RegOpenKeyExA(root, name + start, 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return 0;
    }
    RegCloseKey(key);
    return 1;
}

// Removes the key at `path` below `parent` and every key below it; a key
// that does not exist is already removed.
int DeleteTree(HKEY parent, const char* path) {
    HKEY key;
    LONG opened = RegOpenKeyExA(parent, path, 0, KEY_READ | KEY_WRITE, &key);
    if (opened == ERROR_FILE_NOT_FOUND) {
        return 0;
    }
    if (opened != ERROR_SUCCESS) {
        return 1;
    }
    char name[256];
    DWORD size = sizeof name;
    int failed = 0;
    // Always the first key below: the one before is gone.
    while (!failed && RegEnumKeyExA(key, 0, name, &size, nullptr, nullptr, nullptr, nullptr) ==
                          ERROR_SUCCESS) {
        failed = DeleteTree(key, name);
        size = sizeof name;
    }
    RegCloseKey(key);
    return failed || RegDeleteKeyA(parent, path) != ERROR_SUCCESS;
}

// Sets the value `name` to the first `size` bytes of g_ValueData. Texts go
// through the wide function, converted here from the ANSI code page with
// their length, as reg import does: RegSetValueExA of Wine 8 at times
// stores a text only up to its first zero.
int SetValue(HKEY key, const char* name, DWORD type, DWORD size) {
    if (type != REG_SZ && type != REG_EXPAND_SZ && type != REG_MULTI_SZ) {
        return RegSetValueExA(key, name, 0, type, g_ValueData, size) != ERROR_SUCCESS;
    }
    static WCHAR wideName[256];
    static WCHAR wideData[sizeof g_ValueData];
    if (MultiByteToWideChar(CP_ACP, 0, name, -1, wideName, sizeof wideName / sizeof wideName[0]) ==
        0) {
        return 1;
    }
    int length = size == 0
                     ? 0
                     : MultiByteToWideChar(CP_ACP, 0, reinterpret_cast<const char*>(g_ValueData),
                                           static_cast<int>(size), wideData,
                                           sizeof wideData / sizeof wideData[0]);
    if (size != 0 && length == 0) {
        return 1;
    }
    return RegSetValueExW(key, wideName, 0, type, reinterpret_cast<const BYTE*>(wideData),
                          static_cast<DWORD>(length) * sizeof(WCHAR)) != ERROR_SUCCESS;
}

// create-key, delete-key, set-value and delete-value on a full key name.
int ChangeRegistry(int argc, char** argv) {
    int start = 0;
    HKEY root = SplitKeyName(argv[2], &start);
    if (root == nullptr) {
        return 2;
    }
    const char* path = argv[2] + start;
    if (TextEqual(argv[1], "delete-key") && argc == 3) {
        return DeleteTree(root, path);
    }
    HKEY key;
    if (RegCreateKeyExA(root, path, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr) !=
        ERROR_SUCCESS) {
        return 1;
    }
    int failed = 0;
    if (TextEqual(argv[1], "set-value") && argc == 6) {
        DWORD type = 0;
        for (const char* d = argv[4]; *d >= '0' && *d <= '9'; ++d) {
            type = type * 10 + static_cast<DWORD>(*d - '0');
        }
        DWORD size = 0;
        for (const char* h = argv[5]; h[0] != '\0' && size < sizeof g_ValueData; h += 2) {
            int high = HexDigitValue(h[0]);
            int low = h[1] == '\0' ? -1 : HexDigitValue(h[1]);
            if (high < 0 || low < 0) {
                failed = 1;
                break;
            }
            g_ValueData[size++] = static_cast<unsigned char>(high * 16 + low);
        }
        failed = failed || SetValue(key, argv[3], type, size);
    } else if (TextEqual(argv[1], "delete-value") && argc == 4) {
        LONG deleted = RegDeleteValueA(key, argv[3]);
        failed = deleted != ERROR_SUCCESS && deleted != ERROR_FILE_NOT_FOUND;
    } else if (!TextEqual(argv[1], "create-key") || argc != 3) {
        failed = 2;
    }
    RegCloseKey(key);
    return failed;
}

// start-service and stop-service. Stopping waits until the service has
// stopped, so that a start right after it starts it afresh.
int ControlDriver(const char* name, int start) {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service =
        manager == nullptr
            ? nullptr
            : OpenServiceA(manager, name, SERVICE_START | SERVICE_STOP | SERVICE_QUERY_STATUS);
    DWORD error = 0;
    SERVICE_STATUS status;
    if (service == nullptr) {
        error = GetLastError();
    } else if (start) {
        error = StartServiceA(service, 0, nullptr) ? 0 : GetLastError();
    } else if (!ControlService(service, SERVICE_CONTROL_STOP, &status)) {
        error = GetLastError();
    } else {
        for (int i = 0; i < 600 && status.dwCurrentState != SERVICE_STOPPED; ++i) {
            Sleep(50);
            if (!QueryServiceStatus(service, &status)) {
                error = GetLastError();
                break;
            }
        }
        if (error == 0 && status.dwCurrentState != SERVICE_STOPPED) {
            error = ERROR_SERVICE_REQUEST_TIMEOUT;
        }
    }
    if (service != nullptr) {
        CloseServiceHandle(service);
    }
    if (manager != nullptr) {
        CloseServiceHandle(manager);
    }
    wsprintfA(g_Line, "%lu\n", error);
    Print(g_Line);
    return error == 0 ? 0 : 1;
}

int Usage() {
    Print("usage: rck_probe find-atom|add-atom|delete-atom NAME..., key-exists KEY..., "
          "export KEY..., create-key|delete-key KEY, set-value KEY NAME TYPE HEX, "
          "delete-value KEY NAME, start-service|stop-service NAME, dos-devices, memory, "
          "spawn, steps\n");
    return 2;
}

int RunCommand(int argc, char** argv);

// Every line of standard input as a command; the fields of a line are its
// arguments, which may be empty.
int RunSteps() {
    ReadInput();
    int failed = 0;
    char* line = g_Input;
    while (*line != '\0') {
        int count = 0;
        g_Fields[count++] = const_cast<char*>("rck_probe");
        g_Fields[count++] = line;
        while (*line != '\0' && *line != '\n') {
            if (*line == '\t' && count < static_cast<int>(sizeof g_Fields / sizeof g_Fields[0])) {
                *line = '\0';
                g_Fields[count++] = line + 1;
            }
            ++line;
        }
        if (*line == '\n') {
            *line++ = '\0';
        }
        int code = RunCommand(count, g_Fields);
        failed |= code != 0;
        wsprintfA(g_Line, "< %d\n", code);
        Print(g_Line);
    }
    return failed;
}

int RunCommand(int argc, char** argv) {
    if (argc == 2 && TextEqual(argv[1], "memory")) {
        return CheckMemoryFunctions();
    }
    if (argc == 2 && TextEqual(argv[1], "dos-devices")) {
        return PrintDosDevices();
    }
    if (argc < 3) {
        return Usage();
    }
    if (TextEqual(argv[1], "export")) {
        return Export(argc - 2, argv + 2);
    }
    if (TextEqual(argv[1], "create-key") || TextEqual(argv[1], "delete-key") ||
        TextEqual(argv[1], "set-value") || TextEqual(argv[1], "delete-value")) {
        return ChangeRegistry(argc, argv);
    }
    if (argc == 3 && (TextEqual(argv[1], "start-service") || TextEqual(argv[1], "stop-service"))) {
        return ControlDriver(argv[2], TextEqual(argv[1], "start-service"));
    }
    int failed = 0;
    for (int i = 2; i < argc; ++i) {
        if (TextEqual(argv[1], "find-atom")) {
            Print(GlobalFindAtomA(argv[i]) != 0 ? "1\n" : "0\n");
        } else if (TextEqual(argv[1], "key-exists")) {
            Print(KeyExists(argv[i]) ? "1\n" : "0\n");
        } else if (TextEqual(argv[1], "add-atom")) {
            failed |= GlobalAddAtomA(argv[i]) == 0;
        } else if (TextEqual(argv[1], "delete-atom")) {
            failed |= DeleteAtom(argv[i]);
        } else if (TextEqual(argv[1], "define")) {
            failed |= DefineAndRemove(argv[i]);
        } else {
            return Usage();
        }
    }
    return failed;
}

} // namespace

int DispatchCommand(int argc, char** argv, char** envp) {
    (void)envp;
    char flag[4];
    if (GetEnvironmentVariableA(kChildVariable, flag, sizeof flag) != 0) {
        return PrintArgumentVectors(argc, argv);
    }
    if (argc == 2 && TextEqual(argv[1], "spawn")) {
        return Spawn();
    }
    if (argc == 2 && TextEqual(argv[1], "steps")) {
        return RunSteps();
    }
    return RunCommand(argc, argv);
}
