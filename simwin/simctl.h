// Control interface of the simulated Windows machine, for tests and for the
// Linux process entry. Never used by the program's own code.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

// Puts the machine back to a fresh state: Windows 2000 (platform 2, 5.0,
// build 2195, no service pack), an empty registry, no atoms, no DOS device
// names, no devices, no faults, empty call log and captured output.
void SimReset();

// The version that GetVersionExA reports.
void SimSetVersion(DWORD platformId, DWORD major, DWORD minor, DWORD build, const char* csd);
// Shorthand for the four families: 1 Windows 95, 2 Windows 98, 4 NT 4, 8 Windows 2000.
void SimSetWindowsFamily(int family);

// The ANSI code page whose lead bytes IsDBCSLeadByte reports: 1252 (none)
// after a reset; 932, 936, 949 and 950 are the double-byte ones.
void SimSetCodePage(UINT codePage);

// What the program calls a platform function for: the third column of
// simwin/platform_calls.def. The uses before Wait can fail.
enum class SimUse {
    Version,        // identify the Windows family
    RegistryRead,   // open a key to read one value, or read it
    RegistryCreate, // open or create a key to write one value
    RegistryWrite,  // write a value
    RegistryClose,  // close a key
    Atom,           // add the client manager's global atom
    Output,         // write to standard output
    DosQuery,       // look up a DOS device name
    DosDefine,      // define or remove a DOS device name
    DeviceOpen,     // open the card driver's device
    DeviceRequest,  // exchange a request block with the card driver
    DeviceClose,    // close the device
    Wait,           // wait while the card driver is busy; logged, cannot fail
    NeverFails,     // not logged
    ProcessEntry    // start and end of the Windows process; not simulated
};

struct SimPlatformCall {
    const char* function;
    SimUse use;
};

// Every platform function the program may call, in the list's order.
const SimPlatformCall kSimPlatformCalls[] = {
#define RCK_PLATFORM_CALL(function, dll, use) {#function, SimUse::use},
#include "simwin/platform_calls.def"
#undef RCK_PLATFORM_CALL
};

// The use of a listed function; false for a name not in the list.
bool SimFindUse(const std::string& function, SimUse* use);

inline bool SimCanFail(SimUse use) {
    return use < SimUse::Wait;
}

// Makes the occurrence-th call (1-based) of `function` fail with `error`;
// occurrence 0 makes every call of it fail. Several faults may be set. A
// function that is not listed as one that can fail ends the process.
void SimFailCall(const char* function, int occurrence, DWORD error);
void SimClearFaults();

// One call of a platform function, as the call log keeps it: the account
// of its arguments that simctl_registry.h and simctl_devices.h describe,
// and the arguments that tell calls apart. A field the function does not
// have stays empty, or -1 and 0.
struct SimCall {
    std::string function;
    std::string args;
    std::string key{};   // RegOpenKeyExA, RegCreateKeyExA: the subkey as given
    std::string value{}; // RegQueryValueExA, RegSetValueExA: the value name
    long request = -1; // DeviceIoControl: the request block's command; DefineDosDeviceA: the flags
    DWORD record = 0;  // DeviceIoControl: the record type in the request block
};

// Calls made so far, oldest first; SimCallLog has each as the function
// name, a space and the account of its arguments.
const std::vector<SimCall>& SimCalls();
std::vector<std::string> SimCallLog();
int SimCallCount(const char* function);
void SimClearCallLog();

// Global atom table, in the order the atoms were added.
std::vector<std::string> SimAtoms();

// Everything written to standard output since the last reset.
std::string SimStdout();

// What GetLastError gives next. SetLastError is not among the program's
// platform functions, so the machine and the tests set it here.
void SimSetLastError(DWORD error);

// Total of the Sleep calls made, in milliseconds, and their number.
DWORD SimSleptMilliseconds();
int SimSleepCount();

// Machine file text (the format is described in docs/machine-file.md).
// Loading replaces the whole machine; on error the message names the line
// and the machine is left reset.
bool SimLoadMachineText(const std::string& text, std::string* error);
std::string SimSaveMachineText();
