// Internals shared by the parts of the simulated Windows machine. Not seen by
// the program; tests use simctl.h.
#pragma once

#include "simwin/simctl.h"

#include <windows.h>

#include <string>
#include <vector>

namespace sim {

// One line of a machine file, with its 1-based line number for messages.
struct Line {
    int number;
    std::string text;
};

// Every simulated platform function that can fail, and Sleep, starts with
// this. It records the call in the call log and returns 0 when the call is
// to go ahead, or the Win32 error code with which the call must fail
// because a test asked for it. A function that simwin/platform_calls.def
// does not list as logged ends the process.
DWORD BeginCall(const SimCall& call);

// True in the real executable: Sleep really waits and standard output goes
// to file descriptor 1. False in tests: sleeps are only counted and output
// is only captured.
bool RealTime();
void SetRealTime(bool on);

// Platform id the machine reports (VER_PLATFORM_WIN32_WINDOWS for the 9x
// family); devices are reached differently on the two lines.
DWORD PlatformId();

// How a function that reports its failures through GetLastError fails: it
// sets the last error to `error` and returns `result`.
template <typename T> T Refuse(DWORD error, T result) {
    SimSetLastError(error);
    return result;
}

// Helpers for the machine-file parsers.
std::string Trim(const std::string& s);
std::string Lower(std::string s);
bool EqualNoCase(const std::string& a, const std::string& b);
// The value of a hexadecimal digit, or -1. The simulated machine has its own
// helpers and never uses the program's (runtime/text.cpp), so a fault in the
// program cannot hide in the machine.
int HexDigit(char c);
// "0x" and `v` in upper-case hexadecimal, at least `digits` digits.
std::string Hex(unsigned long long v, int digits = 0);
// Sets *error to the machine-file message "line N: message"; returns false.
bool LineError(std::string* error, int line, const std::string& message);

// Registry part of the machine (registry.cpp).
void ResetRegistry();
bool LoadRegistry(const std::vector<Line>& lines, std::string* error);
void SaveRegistry(std::string& out);
// The [RegistryFaults] section: keys that refuse writes, values that cannot
// be created (registry.cpp describes the lines).
bool LoadRegistryFaults(const std::vector<Line>& lines, std::string* error);
void SaveRegistryFaults(std::string& out);

// Devices, DOS device names and the card driver model (devices.cpp).
// `header` is the text between the brackets of a section header other than
// [Windows] and [Atoms], for instance "DosDevices" or "Device PcCard0-0";
// `headerLine` is the line number of the section header.
void ResetDevices();
bool LoadDeviceSection(const std::string& header, int headerLine, const std::vector<Line>& lines,
                       std::string* error);
void SaveDevices(std::string& out);

} // namespace sim
