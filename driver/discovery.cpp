// Finding and opening the card driver's device; see discovery.h.
#include "driver/discovery.h"

#include "driver/firmware.h"
#include "runtime/text.h"
#include "settings/platform.h"

unsigned char g_ProbeBlock[kRequestBlockSize];
unsigned char g_AttemptFlag;
char g_DevicePath[kDeviceNameSize + 8];

namespace {

// Receives the target of QueryDosDeviceA, which only tells whether the name
// exists.
char g_QueryBuffer[MAX_PATH];
// The NT 4 name being tried.
char g_CandidateName[kDeviceNameSize];

const char* const kWin2000Names[] = {"PcCard0-0", "PcCard0-1", "PcCard1-0", "PcCard1-1",
                                     "PcCard2-0", "PcCard2-1", "PcCard3-0", "PcCard3-1"};
const int kWin2000NameCount = sizeof kWin2000Names / sizeof kWin2000Names[0];
// NT 4: "RN<short name>52" and the service instance digit, 1 to 9.
const int kNt4NameCount = 9;

const DWORD kShareReadWrite = FILE_SHARE_READ | FILE_SHARE_WRITE;

// The probe writes only the command; the rest of the block keeps the last
// reply, so a failed call on the 9x family leaves the previous answer.
BOOL Probe(HANDLE device) {
    PutWord16(g_ProbeBlock + kCommandOffset, kCommandProbe);
    DWORD size = kRequestBlockSize;
    return CallDriverDevice(device, g_ProbeBlock, &size);
}

// No template file: Windows 95 and 98 refuse any template handle with
// ERROR_NOT_SUPPORTED, and a device never takes one.
HANDLE OpenDevicePath() {
    return CreateFileA(g_DevicePath, GENERIC_READ, kShareReadWrite, nullptr, OPEN_EXISTING, 0,
                       nullptr);
}

// Removes the DOS device name of the current attempt if the attempt defined
// it; a name that existed before is left alone.
void RemoveAttemptName() {
    if (g_AttemptFlag) {
        RemoveDefinedDosName();
        g_AttemptFlag = 0;
    }
}

// Gives back what an attempt that did not end in an open device holds, so
// that the next attempt starts clean and nothing outlives the run.
void ReleaseAttempt(HANDLE device) {
    CloseHandle(device);
    RemoveAttemptName();
}

const char* Nt4Name(const char* shortName, int index) {
    wsprintfA(g_CandidateName, "RN%s52%c", shortName, '1' + index);
    return g_CandidateName;
}

const char* Win2000Name(const char* shortName, int index) {
    (void)shortName;
    return kWin2000Names[index];
}

// Tries the `count` names that `nameAt` gives, in order, and returns the
// first device that opens and answers the probe call, or INVALID_HANDLE_VALUE
// when none does or the search has to stop.
HANDLE SearchNtNames(const char* shortName, int count, const char* (*nameAt)(const char*, int)) {
    for (int index = 0; index < count; ++index) {
        HANDLE device = INVALID_HANDLE_VALUE;
        NtNameOutcome outcome = TryNtDeviceName(nameAt(shortName, index), &device);
        if (outcome == kNtNameOpened) {
            return device;
        }
        if (outcome == kNtNameStop) {
            break;
        }
    }
    return INVALID_HANDLE_VALUE;
}

// One pass over the family's names. Returns the probed device or
// INVALID_HANDLE_VALUE, with the driver id it stands for.
HANDLE FindDevice(const char* shortName, unsigned int* driverId) {
    switch (g_OsFamily) {
    case kOsFamilyWin95:
        *driverId = kDriverIdWin95;
        wsprintfA(g_DosDeviceName, "RU%s41.VXD", shortName);
        return OpenVxdDevice();
    case kOsFamilyWin98:
        *driverId = kDriverIdWin98;
        wsprintfA(g_DosDeviceName, "RU%s48.VXD", shortName);
        return OpenVxdDevice();
    case kOsFamilyNt4:
        *driverId = kDriverIdNt4;
        return SearchNtNames(shortName, kNt4NameCount, Nt4Name);
    case kOsFamilyWin2000:
        *driverId = kDriverIdWin2000;
        return SearchNtNames(shortName, kWin2000NameCount, Win2000Name);
    default:
        return INVALID_HANDLE_VALUE;
    }
}

} // namespace

HANDLE OpenVxdDevice() {
    wsprintfA(g_DevicePath, "\\\\.\\%s", g_DosDeviceName);
    HANDLE device = OpenDevicePath();
    if (device == INVALID_HANDLE_VALUE) {
        return INVALID_HANDLE_VALUE;
    }
    // A VxD that fails the call is still taken; the probe block's status and
    // context decide.
    Probe(device);
    return device;
}

NtNameOutcome TryNtDeviceName(const char* name, HANDLE* device) {
    *device = INVALID_HANDLE_VALUE;
    g_AttemptFlag = 0;
    if (!CopyText(g_DosDeviceName, kDeviceNameSize, name)) {
        return kNtNameNext;
    }
    wsprintfA(g_DevicePath, "\\\\.\\%s", name);
    if (QueryDosDeviceA(name, g_QueryBuffer, MAX_PATH) == 0) {
        if (GetLastError() != ERROR_FILE_NOT_FOUND) {
            return kNtNameStop;
        }
        wsprintfA(g_DosTargetPath, "\\Device\\%s", name);
        if (!DefineDosDeviceA(DDD_RAW_TARGET_PATH, name, g_DosTargetPath)) {
            return kNtNameStop;
        }
        g_AttemptFlag = 1;
        if (QueryDosDeviceA(name, g_QueryBuffer, MAX_PATH) == 0) {
            // Defined but not to be seen: take the definition back rather
            // than leave a name behind.
            RemoveAttemptName();
            return kNtNameStop;
        }
    }
    HANDLE opened = OpenDevicePath();
    if (opened == INVALID_HANDLE_VALUE) {
        RemoveAttemptName();
        return kNtNameNext;
    }
    if (!Probe(opened)) {
        ReleaseAttempt(opened);
        return kNtNameNext;
    }
    *device = opened;
    return kNtNameOpened;
}

int OpenDriverDevice(const char* shortName) {
    if (g_Channel.driverId != 0) {
        return kStatusBusy;
    }
    // Every name is formatted from the short name into fixed buffers.
    if (shortName == nullptr ||
        BoundedTextLength(shortName, kShortNameLimit + 1) > kShortNameLimit) {
        return kResultNoDevice;
    }
    int result = kResultNoDevice;
    for (int attempt = 0; attempt < kProbeAttempts; ++attempt) {
        PutWord32(g_Channel.requestBlock + kContextOffset, 0);
        g_Channel.nameDefined = 0;
        g_AttemptFlag = 0;
        unsigned int driverId = 0;
        HANDLE device = FindDevice(shortName, &driverId);
        if (device == INVALID_HANDLE_VALUE) {
            result = kResultNoDevice;
            break;
        }
        int status = GetWord16(g_ProbeBlock + kStatusOffset);
        if (status == kStatusSuccess) {
            PutWord32(g_Channel.requestBlock + kContextOffset,
                      GetWord32(g_ProbeBlock + kContextOffset));
            g_Channel.nameDefined = g_AttemptFlag;
            g_Channel.device = device;
            g_Channel.driverId = driverId;
            result = kStatusSuccess;
            break;
        }
        ReleaseAttempt(device);
        result = status;
        if (status != kStatusBusy) {
            break;
        }
        Sleep(kBusyWaitMilliseconds);
    }
    if (result != kStatusSuccess) {
        return result;
    }
    if (GetWord32(g_Channel.requestBlock + kContextOffset) == 0) {
        // Nothing was begun with the driver, so there is nothing to close.
        ReleaseDriverDevice();
        return kResultNoDevice;
    }
    result = CheckFirmwareCompatibility();
    if (result != kStatusSuccess) {
        EndDriverDevice();
    }
    return result;
}
