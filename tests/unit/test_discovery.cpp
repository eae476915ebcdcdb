// Finding and opening the card driver's device on the simulated machine, for
// every Windows family, and that no attempt leaves a handle or a DOS device
// name behind.
#include "tests/unit/driver_fixture.h"

namespace {

class DiscoveryTest : public DriverTest {};

TEST_F(DiscoveryTest, NinetyFiveAndNinetyEightOpenTheirVxd) {
    SimAddCardDriver("RUKRV41.VXD");
    SimAddCardDriver("RUKRV48.VXD");
    Family(kOsFamilyWin95);
    EXPECT_EQ(0, OpenDriverDevice("KRV"));
    EXPECT_EQ(41u, g_Channel.driverId);
    EXPECT_EQ(1, SimOpenHandleCount("RUKRV41.VXD"));
    EXPECT_EQ(0, CloseDriverDevice());

    Family(kOsFamilyWin98);
    EXPECT_EQ(0, OpenDriverDevice("KRV"));
    EXPECT_EQ(48u, g_Channel.driverId);
    EXPECT_EQ(1, SimOpenHandleCount("RUKRV48.VXD"));
    EXPECT_EQ(0u, g_Channel.nameDefined);
    EXPECT_EQ(std::vector<std::string>({"\\\\.\\RUKRV41.VXD", "\\\\.\\RUKRV48.VXD"}),
              Calls("CreateFileA"));
    EXPECT_EQ(0, SimCallCount("QueryDosDeviceA"));
}

TEST_F(DiscoveryTest, NinetyFiveWithoutItsVxdFindsNothing) {
    SimAddCardDriver("RUKRV48.VXD");
    Family(kOsFamilyWin95);
    EXPECT_EQ(66, OpenDriverDevice("KRV"));
    ExpectNothingLeft();
}

TEST_F(DiscoveryTest, NtFourTriesItsNamesAndRemovesTheOnesItDefined) {
    Family(kOsFamilyNt4);
    SimAddCardDriver("RNKRV523");
    EXPECT_EQ(0, OpenDriverDevice("KRV"));
    EXPECT_EQ(52u, g_Channel.driverId);
    EXPECT_EQ(1u, g_Channel.nameDefined);
    EXPECT_EQ(
        std::vector<std::string>({"1 RNKRV521 \\Device\\RNKRV521", "7 RNKRV521 \\Device\\RNKRV521",
                                  "1 RNKRV522 \\Device\\RNKRV522", "7 RNKRV522 \\Device\\RNKRV522",
                                  "1 RNKRV523 \\Device\\RNKRV523"}),
        Calls("DefineDosDeviceA"));
    EXPECT_EQ(std::vector<std::string>({"RNKRV523=\\Device\\RNKRV523"}), SimDosNames());
    EXPECT_EQ(0, CloseDriverDevice());
    ExpectNothingLeft();
}

TEST_F(DiscoveryTest, WindowsTwoThousandUsesAnExistingNameAsItIs) {
    Family(kOsFamilyWin2000);
    SimAddCardDriver("PcCard1-0");
    SimDefineDosName("PcCard1-0", "\\Device\\PcCard1-0");
    EXPECT_EQ(0, OpenDriverDevice("KRV"));
    EXPECT_EQ(48u, g_Channel.driverId);
    EXPECT_EQ(0u, g_Channel.nameDefined);
    EXPECT_EQ(
        std::vector<std::string>({"PcCard0-0", "PcCard0-0", "PcCard0-1", "PcCard0-1", "PcCard1-0"}),
        Calls("QueryDosDeviceA"));
    EXPECT_EQ(0, CloseDriverDevice());
    EXPECT_EQ(std::vector<std::string>({"PcCard1-0=\\Device\\PcCard1-0"}), SimDosNames());
}

TEST_F(DiscoveryTest, UnknownFamilyTriesNothing) {
    SimAddCardDriver("PcCard0-0");
    for (int family : {0, 3, 16}) {
        g_OsFamily = family;
        EXPECT_EQ(66, OpenDriverDevice("KRV")) << family;
    }
    EXPECT_TRUE(SimCallLog().empty());
}

TEST_F(DiscoveryTest, AnOpenDeviceIsNotOpenedAgain) {
    Family(kOsFamilyWin2000);
    SimAddCardDriver("PcCard0-0");
    ASSERT_EQ(0, OpenDriverDevice("KRV"));
    SimClearCallLog();
    EXPECT_EQ(68, OpenDriverDevice("KRV"));
    EXPECT_TRUE(SimCallLog().empty());
    EXPECT_EQ(48u, g_Channel.driverId);
}

TEST_F(DiscoveryTest, BusyDriverIsAskedAgainAfterAPause) {
    Family(kOsFamilyWin2000);
    AddDriver("PcCard0-0").busy = 3;
    EXPECT_EQ(0, OpenDriverDevice("KRV"));
    EXPECT_EQ(3, SimSleepCount());
    EXPECT_EQ(300u, SimSleptMilliseconds());
    EXPECT_EQ(4, SimCardDriverReceived("PcCard0-0").probes);
    // Each busy attempt gave back its handle and name before the next.
    EXPECT_EQ(1, SimOpenHandleCount());
    EXPECT_EQ(3, SimCallCount("CloseHandle"));
    EXPECT_EQ(7, SimCallCount("DefineDosDeviceA"));
    EXPECT_EQ(1u, SimDosNames().size());
}

TEST_F(DiscoveryTest, AlwaysBusyDriverGivesUpAfterTenAttempts) {
    SimCardDriver busy;
    busy.busy = 100;
    for (int family : {kOsFamilyWin2000, kOsFamilyWin98}) {
        SimReset();
        SimAddCardDriver(family == kOsFamilyWin98 ? "RUKRV48.VXD" : "PcCard0-0", busy);
        Family(family);
        EXPECT_EQ(68, OpenDriverDevice("KRV"));
        EXPECT_EQ(10, SimSleepCount());
        EXPECT_EQ(1000u, SimSleptMilliseconds());
        ExpectNothingLeft();
    }
}

TEST_F(DiscoveryTest, NamesThatFailOpenOrProbeAreRemovedAndTheNextIsTried) {
    Family(kOsFamilyWin2000);
    AddDriver("PcCard0-0").open_error = ERROR_ACCESS_DENIED;
    AddDriver("PcCard0-1").call_error = ERROR_GEN_FAILURE;
    SimAddCardDriver("PcCard1-0");
    EXPECT_EQ(0, OpenDriverDevice("KRV"));
    EXPECT_EQ(1, SimOpenHandleCount("PcCard1-0"));
    EXPECT_EQ(1, SimOpenHandleCount());
    EXPECT_EQ(std::vector<std::string>({"PcCard1-0=\\Device\\PcCard1-0"}), SimDosNames());
}

TEST_F(DiscoveryTest, NoDeviceBehindAnyNameLeavesNothing) {
    Family(kOsFamilyNt4);
    EXPECT_EQ(66, OpenDriverDevice("KRV"));
    EXPECT_EQ(9, SimCallCount("CreateFileA"));
    ExpectNothingLeft();
}

TEST_F(DiscoveryTest, UnexpectedDosNameFailuresStopTheSearch) {
    Family(kOsFamilyWin2000);
    SimAddCardDriver("PcCard0-1");
    const struct {
        const char* function;
        int occurrence;
        DWORD error;
        int defines; // DefineDosDeviceA calls made
    } faults[] = {
        // A query error other than file-not-found, even though a later name works.
        {"QueryDosDeviceA", 1, ERROR_ACCESS_DENIED, 0},
        {"DefineDosDeviceA", 1, ERROR_ACCESS_DENIED, 1},
        // The name was defined but cannot be seen: the definition is taken back.
        {"QueryDosDeviceA", 2, ERROR_GEN_FAILURE, 2},
    };
    for (const auto& f : faults) {
        SimClearFaults();
        SimClearCallLog();
        SimFailCall(f.function, f.occurrence, f.error);
        EXPECT_EQ(66, OpenDriverDevice("KRV")) << f.function << " #" << f.occurrence;
        EXPECT_EQ(f.defines, SimCallCount("DefineDosDeviceA"));
        EXPECT_EQ(0, SimCallCount("CreateFileA"));
        ExpectNothingLeft();
    }
}

TEST_F(DiscoveryTest, ProbeFailuresCloseTheAttempt) {
    Family(kOsFamilyWin2000);
    AddDriver("PcCard0-0").probe_status = 7;
    EXPECT_EQ(7, OpenDriverDevice("KRV"));
    EXPECT_EQ(0, SimSleepCount());
    ExpectNothingLeft();

    // Status 0 without a context: nothing was begun, so no close request.
    AddDriver("PcCard0-0").context = 0;
    EXPECT_EQ(66, OpenDriverDevice("KRV"));
    EXPECT_EQ(0, SimCardDriverReceived("PcCard0-0").closes);
    ExpectNothingLeft();
}

TEST_F(DiscoveryTest, VxdWhoseProbeCallFailsIsJudgedByTheEmptyProbeBlock) {
    Family(kOsFamilyWin95);
    AddDriver("RUKRV41.VXD").call_error = ERROR_GEN_FAILURE;
    EXPECT_EQ(66, OpenDriverDevice("KRV"));
    ExpectNothingLeft();
}

TEST_F(DiscoveryTest, IncompatibleFirmwareClosesTheDevice) {
    Family(kOsFamilyWin2000);
    SimCardDriver old;
    old.SetCompatibility({6, 0x0827, 0, 0, 48, 100, 120});
    SimAddCardDriver("PcCard0-0", old);
    EXPECT_EQ(65, OpenDriverDevice("KRV"));
    EXPECT_EQ(1, SimCardDriverReceived("PcCard0-0").closes);
    ExpectNothingLeft();

    // Also when the driver does not acknowledge the close.
    old.silent |= CARD_SILENT_CLOSE;
    SimAddCardDriver("PcCard0-0", old);
    EXPECT_EQ(65, OpenDriverDevice("KRV"));
    ExpectNothingLeft();
}

TEST_F(DiscoveryTest, OverlongShortNameIsRefused) {
    Family(kOsFamilyNt4);
    const std::string name(200, 'K');
    EXPECT_EQ(66, OpenDriverDevice(name.c_str()));
    EXPECT_TRUE(SimCallLog().empty());
}

} // namespace
