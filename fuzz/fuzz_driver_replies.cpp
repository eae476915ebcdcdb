// Fuzz target: the card driver's replies. The W command runs on a machine
// where everything is in order, except that every device control call the
// program makes gets an answer made of the input's bytes: the call fails,
// or any status, context value, record or raw bytes land anywhere in the
// request block. Whatever the driver answers, the command ends with 0, 5 or
// 6, touches the registry only after a push it took as good, waits at most
// ten times, and leaves no handle, DOS device name or open channel behind.
//
// The answers are put in by wrapping the simulated DeviceIoControl at link
// time (-Wl,--wrap=DeviceIoControl): the simulated call still runs first, so
// handles are checked and calls logged as always.
#include "fuzz/harness.h"

#include "driver/protocol.h"
#include "runtime/text.h"
#include "simwin/simctl.h"
#include "simwin/simctl_devices.h"
#include "simwin/simctl_registry.h"
#include "tests/unit/card_machines.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstring>
#include <string>
#include <vector>

extern "C" BOOL WINAPI __real_DeviceIoControl(HANDLE h, DWORD code, LPVOID in, DWORD inSize,
                                              LPVOID out, DWORD outSize, LPDWORD returned,
                                              LPOVERLAPPED overlapped);

namespace {

FuzzedDataProvider* g_Replies = nullptr;

} // namespace

extern "C" BOOL WINAPI __wrap_DeviceIoControl(HANDLE h, DWORD code, LPVOID in, DWORD inSize,
                                              LPVOID out, DWORD outSize, LPDWORD returned,
                                              LPOVERLAPPED overlapped) {
    BOOL ok = __real_DeviceIoControl(h, code, in, inSize, out, outSize, returned, overlapped);
    if (g_Replies == nullptr || out == nullptr || outSize < kRecordDataOffset) {
        return ok;
    }
    FuzzedDataProvider& r = *g_Replies;
    unsigned char* block = static_cast<unsigned char*>(out);
    const unsigned short type = GetWord16(block + kRecordTypeOffset);
    switch (r.ConsumeIntegralInRange(0, 7)) {
    case 0: // as the simulated driver answered
        return ok;
    case 1:
        SimSetLastError(ERROR_GEN_FAILURE);
        return FALSE;
    case 2: {
        static const unsigned kStatuses[] = {0, 8, 68, 69, 66, 255};
        PutWord16(block + kStatusOffset,
                  r.ConsumeBool() ? r.PickValueInArray(kStatuses) : r.ConsumeIntegral<uint16_t>());
        break;
    }
    case 3:
        PutWord16(block + kStatusOffset, r.ConsumeBool() ? 0 : r.ConsumeIntegral<uint16_t>());
        PutWord32(block + kContextOffset, r.ConsumeIntegral<uint32_t>());
        break;
    case 4:
    case 5: { // a record reply of any length, for the type asked or another
        PutWord16(block + kStatusOffset, r.ConsumeBool() ? 0 : 8);
        size_t words = r.ConsumeIntegralInRange<size_t>(0, 12);
        PutWord16(block + kRecordLengthOffset, r.ConsumeBool() ? static_cast<unsigned>(words + 1)
                                                               : r.ConsumeIntegral<uint16_t>());
        PutWord16(block + kRecordTypeOffset,
                  r.ConsumeBool() ? type : r.ConsumeIntegral<uint16_t>());
        for (size_t w = 0; w < words; ++w) {
            PutWord16(block + kRecordDataOffset + 2 * w, r.ConsumeIntegral<uint16_t>());
        }
        break;
    }
    default: { // raw bytes anywhere
        size_t at = r.ConsumeIntegralInRange<size_t>(0, outSize - 1);
        std::string bytes = r.ConsumeRandomLengthString(64);
        std::memcpy(block + at, bytes.data(), std::min<size_t>(bytes.size(), outSize - at));
        break;
    }
    }
    if (returned != nullptr) {
        *returned = outSize;
    }
    return TRUE;
}

namespace {

// The devices of the families' card drivers, in the order of kCardMachines.
const char* const kDevices[] = {"RUKRV41.VXD", "RUKRV48.VXD", "RNKRV521", "PcCard0-0"};

void LoadMachine(int index) {
    const CardMachine& m = kCardMachines[index];
    std::string text = std::string("RCKRV48 MACHINE 1\n[Windows]\n") + m.windows + "[Device " +
                       kDevices[index] + "]\nREGEDIT4\n";
    std::string error;
    FUZZ_CHECK(SimLoadMachineText(text, &error), error);
    InstallCard(m);
    SimClearCallLog();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    LoadMachine(in.ConsumeIntegralInRange(0, 3));
    const std::string registryBefore = SimRegExportText();
    const std::vector<std::string> dosNames = SimDosNames();

    g_Replies = &in;
    const int result = RunProgram({"W", "1A2B3"});
    g_Replies = nullptr;

    FUZZ_CHECK(result == 0 || result == 5 || result == 6, "result " + std::to_string(result));
    CheckNothingLeft(dosNames, false);
    FUZZ_CHECK(SimSleepCount() <= 10, std::to_string(SimSleepCount()) + " waits");
    if (result != 0) {
        FUZZ_CHECK(SimRegExportText() == registryBefore, "registry changed after a failed push");
    } else {
        bool sent = false;
        for (const std::string& call : SimCallLog()) {
            sent = sent || call.find(" cmd=5 len=52 type=0x0900 ") != std::string::npos;
        }
        FUZZ_CHECK(sent, "result 0 without a key text record sent");
    }
    ResetProcessState();
    return 0;
}
