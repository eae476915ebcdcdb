// Devices of the simulated machine. This machine has no devices and no DOS
// device names yet: every device call fails the way Windows fails it when
// the named object does not exist.
#include "simwin/sim.h"

void sim::ResetDevices() {}

bool sim::LoadDeviceSection(const std::string& header, const std::vector<Line>& lines,
                            std::string* error) {
    int line = lines.empty() ? 0 : lines.front().number - 1;
    *error = "line " + std::to_string(line) + ": unknown section [" + header + "]";
    return false;
}

void sim::SaveDevices(std::string& out) { (void)out; }

extern "C" {

HANDLE WINAPI CreateFileA(LPCSTR name, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE) {
    DWORD fail = sim::BeginCall("CreateFileA", name ? name : "NULL");
    SetLastError(fail ? fail : ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
}

BOOL WINAPI DeviceIoControl(HANDLE, DWORD code, LPVOID, DWORD, LPVOID, DWORD, LPDWORD,
                            LPOVERLAPPED) {
    DWORD fail = sim::BeginCall("DeviceIoControl", std::to_string(code));
    SetLastError(fail ? fail : ERROR_INVALID_HANDLE);
    return FALSE;
}

BOOL WINAPI CloseHandle(HANDLE) {
    DWORD fail = sim::BeginCall("CloseHandle", "");
    SetLastError(fail ? fail : ERROR_INVALID_HANDLE);
    return FALSE;
}

DWORD WINAPI QueryDosDeviceA(LPCSTR name, LPSTR, DWORD) {
    DWORD fail = sim::BeginCall("QueryDosDeviceA", name ? name : "NULL");
    SetLastError(fail ? fail : ERROR_FILE_NOT_FOUND);
    return 0;
}

BOOL WINAPI DefineDosDeviceA(DWORD flags, LPCSTR name, LPCSTR) {
    DWORD fail = sim::BeginCall("DefineDosDeviceA", std::to_string(flags) + " " +
                                                        (name ? name : "NULL"));
    SetLastError(fail ? fail : ERROR_ACCESS_DENIED);
    return FALSE;
}

} // extern "C"
