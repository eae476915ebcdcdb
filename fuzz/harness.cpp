// Shared pieces of the fuzz targets; see harness.h.
#include "fuzz/harness.h"

#include "cli/dispatcher.h"
#include "driver/channel.h"
#include "driver/discovery.h"
#include "keyrecord/keyrecord.h"
#include "settings/adapter.h"
#include "settings/platform.h"
#include "settings/profile.h"
#include "simwin/simctl.h"
#include "simwin/simctl_devices.h"
#include "simwin/simctl_registry.h"
#include "tests/unit/argv.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

void FuzzFailure(const char* file, int line, const char* condition, const std::string& what) {
    std::fprintf(stderr, "%s:%d: check failed: %s: %s\n", file, line, condition, what.c_str());
    std::abort();
}

void ResetProcessState() {
    // Everything the program's headers make visible. The storage they do not
    // show is written before it is read in every run.
    std::memset(&g_Channel, 0, sizeof g_Channel);
    std::memset(g_DosDeviceName, 0, sizeof g_DosDeviceName);
    std::memset(g_DosTargetPath, 0, sizeof g_DosTargetPath);
    std::memset(g_ProbeBlock, 0, sizeof g_ProbeBlock);
    g_AttemptFlag = 0;
    std::memset(g_DevicePath, 0, sizeof g_DevicePath);
    std::memset(g_AdapterKeyPath, 0, sizeof g_AdapterKeyPath);
    g_OsFamily = 0;
    std::memset(g_OsDescription, 0, sizeof g_OsDescription);
    std::memset(g_SsidBuffer, 0, sizeof g_SsidBuffer);
    std::memset(g_KeyRecordBuffer, 0, sizeof g_KeyRecordBuffer);
}

int RunProgram(const std::vector<std::string>& args) {
    Argv argv(args);
    return DispatchCommand(argv.Count(), argv.Get(), nullptr);
}

bool IsResultCode(int result) {
    return (result >= 0 && result <= 6) || result == 100 || result == 101;
}

void CheckNothingLeft(const std::vector<std::string>& dosNamesBefore, bool closeFaults) {
    FUZZ_CHECK(g_Channel.driverId == 0, "the driver channel was left open");
    if (closeFaults) {
        return;
    }
    FUZZ_CHECK(SimOpenKeyCount() == 0, std::to_string(SimOpenKeyCount()) + " keys left open");
    FUZZ_CHECK(SimOpenHandleCount() == 0,
               std::to_string(SimOpenHandleCount()) + " device handles left open");
    FUZZ_CHECK(SimDosNames() == dosNamesBefore, "the DOS device names changed");
}
