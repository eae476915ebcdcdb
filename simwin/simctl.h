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
// When set, GetVersionExA fails with ERROR_INVALID_PARAMETER.
void SimSetVersionQueryFails(bool fails);

// The ANSI code page whose lead bytes IsDBCSLeadByte reports: 1252 (none)
// after a reset; 932, 936, 949 and 950 are the double-byte ones.
void SimSetCodePage(UINT codePage);

// Makes the occurrence-th call (1-based) of `function` fail with `error`;
// occurrence 0 makes every call of it fail. Several faults may be set.
void SimFailCall(const char* function, int occurrence, DWORD error);
void SimClearFaults();

// Calls made so far: each entry is the function name, a space and an account
// of its arguments.
const std::vector<std::string>& SimCallLog();
int SimCallCount(const char* function);
void SimClearCallLog();

// Global atom table, in the order the atoms were added.
std::vector<std::string> SimAtoms();

// Everything written to standard output since the last reset or clear.
std::string SimStdout();
void SimClearStdout();

// Total of the Sleep calls made, in milliseconds, and their number.
DWORD SimSleptMilliseconds();
int SimSleepCount();

// Machine file text (the format is described in docs/machine-file.md).
// Loading replaces the whole machine; on error the message names the line
// and the machine is left reset.
bool SimLoadMachineText(const std::string& text, std::string* error);
std::string SimSaveMachineText();
