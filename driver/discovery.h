// Finding and opening the card driver's device for the running Windows
// family: a VxD opened by file name on Windows 95 and 98, a device reached
// through a DOS device name on NT 4 and Windows 2000 (the name is defined
// here when it does not exist, and removed again when this process is done
// with it).
#pragma once

#include "driver/channel.h"

#include <windows.h>

// Times the probe is tried while the driver answers busy, and the pause after
// each busy answer.
constexpr int kProbeAttempts = 10;
constexpr DWORD kBusyWaitMilliseconds = 100;

// The longest short name OpenDriverDevice takes; longer ones give 66.
constexpr int kShortNameLimit = 32;

// The block the probe request (command 0) is exchanged in. Between probes it
// keeps what the last reply left in it.
extern unsigned char g_ProbeBlock[kRequestBlockSize];

// 1 when TryNtDeviceName defined the DOS device name of the device it
// returned, 0 when the name existed already.
extern unsigned char g_AttemptFlag;

// "\\.\" followed by the device name, as CreateFileA is given it.
extern char g_DevicePath[kDeviceNameSize + 8];

// Opens the driver's device for the OS family code in g_OsFamily, with
// `shortName` (the program passes "KRV") in the names it tries, and leaves it
// recorded in the channel. Returns 0 when the device is open, answered the
// probe with a usable context and has compatible firmware. Otherwise:
//   68  a device is already open (the channel is left as it is), or the
//       driver answered busy to every attempt
//   66  no device for this family: unsupported family, no name gave a
//       device, the search stopped, or the probe reply carried context 0
//   65 or the result of reading the compatibility record: firmware check failed
//   any other value: the driver's probe status
// On every nonzero result except "already open" the channel is closed and no
// handle or DOS device name of the attempts is left behind.
int OpenDriverDevice(const char* shortName);

// Windows 95 and 98: opens the VxD whose file name is in g_DosDeviceName and
// sends it the probe request into g_ProbeBlock, whether or not that call
// succeeds. Returns the handle, or INVALID_HANDLE_VALUE when it cannot be
// opened.
HANDLE OpenVxdDevice();

// Outcomes of TryNtDeviceName.
enum NtNameOutcome { kNtNameOpened, kNtNameNext, kNtNameStop };

// NT 4 and Windows 2000: reaches the device `name` through its DOS device
// name, defining the name (raw target "\Device\<name>") when it does not
// exist, opens it and probes it into g_ProbeBlock. kNtNameOpened: *device
// holds the handle and g_AttemptFlag tells whether the name was defined here.
// kNtNameNext: the device could not be opened or probed; try the next name.
// kNtNameStop: the DOS device names cannot be queried or defined; give up.
// On kNtNameNext and kNtNameStop nothing of the attempt is left behind.
NtNameOutcome TryNtDeviceName(const char* name, HANDLE* device);
