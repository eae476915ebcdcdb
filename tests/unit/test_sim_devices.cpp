// The simulated machine's devices: DOS device names, opening devices,
// handles, the card driver model's checks, and the device sections of the
// machine file.
#include "driver/protocol.h"
#include "simwin/simctl.h"
#include "simwin/simctl_devices.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

class SimDevicesTest : public ::testing::Test {
  protected:
    void SetUp() override { SimReset(); }
};

std::string Query(const char* name, DWORD size, DWORD* result) {
    std::vector<char> buffer(size + 4, '#');
    *result = QueryDosDeviceA(name, buffer.data(), size);
    return std::string(buffer.data(), buffer.size());
}

TEST_F(SimDevicesTest, QueryDosDeviceListsDefinitionsNewestFirst) {
    DWORD n = 1;
    Query("PcCard0-0", 260, &n);
    EXPECT_EQ(0u, n);
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());

    ASSERT_TRUE(DefineDosDeviceA(DDD_RAW_TARGET_PATH, "PcCard0-0", "\\Device\\Old"));
    ASSERT_TRUE(DefineDosDeviceA(0, "pccard0-0", "C:\\card"));
    std::string got = Query("PCCARD0-0", 260, &n);
    const std::string expected("\\??\\C:\\card\0\\Device\\Old\0\0", 25);
    EXPECT_EQ(expected.size(), n);
    EXPECT_EQ(expected + "#", got.substr(0, n + 1));

    // One character short: nothing is written.
    got = Query("PcCard0-0", n - 1, &n);
    EXPECT_EQ(0u, n);
    EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
    EXPECT_EQ(std::string(24 + 4, '#'), got);
}

TEST_F(SimDevicesTest, RemovalTakesTheExactDefinitionOnly) {
    const DWORD remove = DDD_RAW_TARGET_PATH | DDD_REMOVE_DEFINITION | DDD_EXACT_MATCH_ON_REMOVE;
    SimDefineDosName("RNKRV521", "\\Device\\RNKRV521");
    SimDefineDosName("RNKRV521", "\\Device\\Other");
    EXPECT_FALSE(DefineDosDeviceA(remove, "RNKRV521", "\\Device\\RNKRV52"));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
    EXPECT_FALSE(DefineDosDeviceA(remove, "RNKRV529", "\\Device\\RNKRV521"));
    EXPECT_TRUE(DefineDosDeviceA(remove, "RNKRV521", "\\Device\\RNKRV521"));
    EXPECT_EQ(std::vector<std::string>({"RNKRV521=\\Device\\Other"}), SimDosNames());
    // Without exact matching a prefix will do.
    EXPECT_TRUE(
        DefineDosDeviceA(DDD_RAW_TARGET_PATH | DDD_REMOVE_DEFINITION, "RNKRV521", "\\Device\\Ot"));
    EXPECT_TRUE(SimDosNames().empty());
}

TEST_F(SimDevicesTest, DevicesAreReachedTheWayTheirFamilyReachesThem) {
    SimAddCardDriver("PcCard0-0");
    SimAddCardDriver("RUKRV48.VXD");
    auto open = [](const char* path, HANDLE templateFile = nullptr) {
        return CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, 0, templateFile);
    };
    // NT: only through a DOS device name whose target is the device object.
    EXPECT_EQ(INVALID_HANDLE_VALUE, open("\\\\.\\PcCard0-0"));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
    EXPECT_EQ(INVALID_HANDLE_VALUE, open("\\\\.\\RUKRV48.VXD"));
    SimDefineDosName("Card", "\\Device\\PcCard0-0");
    // The NT line ignores a template when it opens a device.
    EXPECT_TRUE(CloseHandle(open("\\\\.\\card", INVALID_HANDLE_VALUE)));
    HANDLE h = open("\\\\.\\card");
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    EXPECT_EQ(1, SimOpenHandleCount("PcCard0-0"));
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_FALSE(CloseHandle(h));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
    EXPECT_FALSE(CloseHandle(INVALID_HANDLE_VALUE));

    // The 95 line: VxD files by name, and no DOS device names at all.
    SimSetWindowsFamily(2);
    EXPECT_EQ(INVALID_HANDLE_VALUE, open("\\\\.\\card"));
    // The 95 line has no template files and refuses any template handle.
    EXPECT_EQ(INVALID_HANDLE_VALUE, open("\\\\.\\rukrv48.vxd", INVALID_HANDLE_VALUE));
    EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_SUPPORTED), GetLastError());
    h = open("\\\\.\\rukrv48.vxd");
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    DWORD n = 1;
    Query("Card", 260, &n);
    EXPECT_EQ(0u, n);
    EXPECT_EQ(120u, GetLastError());
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_EQ(0, SimOpenHandleCount());
}

TEST_F(SimDevicesTest, CardDriverChecksTheCallAndTheContext) {
    SimSetWindowsFamily(2);
    SimCardDriver driver;
    driver.context = 0x1234;
    SimAddCardDriver("RUKRV48.VXD", driver);
    HANDLE h =
        CreateFileA("\\\\.\\RUKRV48.VXD", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    static unsigned char block[kRequestBlockSize];
    DWORD returned = 0;
    auto request = [&](DWORD code, DWORD input) {
        return DeviceIoControl(h, code, &input, 4, block, sizeof block, &returned, nullptr);
    };
    EXPECT_FALSE(request(0x00170006, kDriverInputValue));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_FUNCTION), GetLastError());
    EXPECT_FALSE(request(kDriverControlCode, 0xFF020402));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());

    // A get before any probe: the driver does not know the context.
    block[kCommandOffset] = kCommandGetRecord;
    ASSERT_TRUE(request(kDriverControlCode, kDriverInputValue));
    EXPECT_EQ(CARD_STATUS_UNKNOWN_CONTEXT, block[kStatusOffset]);

    block[kCommandOffset] = kCommandProbe;
    ASSERT_TRUE(request(kDriverControlCode, kDriverInputValue));
    EXPECT_EQ(0, block[kStatusOffset]);
    EXPECT_EQ(0x34, block[kContextOffset]);
    EXPECT_EQ(0x12, block[kContextOffset + 1]);

    SimFailCall("DeviceIoControl", SimCallCount("DeviceIoControl") + 1, ERROR_GEN_FAILURE);
    EXPECT_FALSE(request(kDriverControlCode, kDriverInputValue));
    EXPECT_EQ(static_cast<DWORD>(ERROR_GEN_FAILURE), GetLastError());
    CloseHandle(h);
    EXPECT_FALSE(request(kDriverControlCode, kDriverInputValue));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
}

const char kMachine[] = "RCKRV48 MACHINE 1\n"
                        "[Windows]\n"
                        "PlatformId=2\n"
                        "\n"
                        "[DosDevices]\n"
                        "PcCard0-0=\\Device\\PcCard0-0\n"
                        "[Device PcCard0-0]\n"
                        "Busy=2\n"
                        "Identity=3 0x0826 08 1\n"
                        "CloseStatus=silent\n"
                        "KeyText=&&&eee\n"
                        "Control=128\n"
                        "Closes=4\n"
                        "OpenHandles=3\n"
                        "\n"
                        "[Device RUKRV41.VXD]\n"
                        "CallError=31\n"
                        "REGEDIT4\n";

TEST_F(SimDevicesTest, MachineFileCarriesSettingsAndWhatWasReceived) {
    std::string error;
    ASSERT_TRUE(SimLoadMachineText(kMachine, &error)) << error;
    SimCardDriver* card = SimCardDriverSettings("pccard0-0");
    ASSERT_NE(nullptr, card);
    EXPECT_EQ(2u, card->busy);
    EXPECT_EQ(std::vector<WORD>({3, 0x0826, 8, 1}),
              std::vector<WORD>(card->identity, card->identity + card->identity_words));
    EXPECT_EQ(CARD_SILENT_CLOSE, card->silent);
    EXPECT_EQ(31u, SimCardDriverSettings("RUKRV41.VXD")->call_error);
    EXPECT_EQ(std::vector<std::string>({"&&&eee"}), SimCardDriverReceived("PcCard0-0").keyTexts);
    EXPECT_EQ(4, SimCardDriverReceived("PcCard0-0").closes);

    // What is saved loads back to the same machine.
    const std::string saved = SimSaveMachineText();
    for (const char* line :
         {"[DosDevices]\nPcCard0-0=\\Device\\PcCard0-0\n", "Identity=3 0x0826 8 1\n",
          "KeyText=&&&eee\nControl=128\nCloses=4\n", "OpenHandles=0\nDosNames=1\n"}) {
        EXPECT_NE(std::string::npos, saved.find(line)) << line << "\n" << saved;
    }
    ASSERT_TRUE(SimLoadMachineText(saved, &error)) << error;
    EXPECT_EQ(saved, SimSaveMachineText());
}

TEST_F(SimDevicesTest, MachineFileErrorsNameTheLine) {
    const struct {
        const char* body;
        const char* error;
    } cases[] = {
        {"[Device PcCard0-0]\n\nBusy=x\n",
         "line 5: expected a count in Busy of [Device PcCard0-0]"},
        {"[Device A]\nProbeStatus=65536\n", "line 4: expected a status 0 to 65535"},
        {"[Device A]\n[Device a]\nBusy=1\n", "line 4: device a is described twice"},
        {"[Device A]\nColour=blue\n", "line 4: unknown setting in Colour of [Device A]"},
        {"[DosDevices]\nNAME\n", "line 4: expected NAME=target"},
        {"[Devise A]\nBusy=1\n", "line 3: unknown section [Devise A]"},
    };
    for (const auto& c : cases) {
        std::string error;
        std::string text = std::string("RCKRV48 MACHINE 1\n[Windows]\n") + c.body + "REGEDIT4\n";
        EXPECT_FALSE(SimLoadMachineText(text, &error)) << c.body;
        EXPECT_EQ(0u, error.find(c.error)) << error;
    }
}

} // namespace
