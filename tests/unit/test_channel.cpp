// The request block exchange against the simulated card driver: lengths,
// clamping, copy-back, refused requests and the close; and the firmware
// compatibility check against the records the driver returns.
#include "driver/firmware.h"
#include "tests/unit/driver_fixture.h"

namespace {

const unsigned short kCanary = 0xBEEF;

class ChannelTest : public CardTest {
  protected:
    void Open() {
        ASSERT_EQ(0, OpenDriverDevice("KRV"));
        SimClearCallLog();
    }
};

TEST_F(ChannelTest, RequestsWithoutAnOpenDeviceSendNothing) {
    unsigned short record[3] = {2, 0x0900, 0x4241};
    EXPECT_EQ(66, PutDriverRecord(record));
    EXPECT_EQ(66, ControlDriver(128));
    EXPECT_EQ(66, ControlDriver(5));
    g_Channel.controlFlag = 1;
    g_Channel.requestBlock[100] = 7;
    EXPECT_EQ(0, CloseDriverDevice());
    EXPECT_EQ(0, g_Channel.controlFlag);
    EXPECT_EQ(0, g_Channel.requestBlock[100]);
    EXPECT_EQ(INVALID_HANDLE_VALUE, g_Channel.device);
    EXPECT_EQ(0, SimCallCount("DeviceIoControl"));
}

TEST_F(ChannelTest, GetCopiesAsManyWordsAsBothLengthsAllow) {
    Open();
    // The driver returns less than asked: only its words are copied.
    Driver().SetIdentity({3, 0x0826, 11, 12});
    unsigned short shortReply[8] = {6,       0x0826,  kCanary, kCanary,
                                    kCanary, kCanary, kCanary, kCanary};
    EXPECT_EQ(0, GetDriverRecord(shortReply));
    const std::vector<unsigned short> shortExpected = {3,       0x0826,  11,      12,
                                                       kCanary, kCanary, kCanary, kCanary};
    EXPECT_EQ(shortExpected, std::vector<unsigned short>(shortReply, shortReply + 8));

    // The driver returns more than asked: the caller's record is not overrun,
    // but its length word tells what the driver had.
    Driver().SetIdentity({9, 0x0826, 1, 2, 3, 4, 5, 6, 7, 8});
    unsigned short longReply[8] = {5, 0x0826, 0, 0, 0, 0, kCanary, kCanary};
    EXPECT_EQ(0, GetDriverRecord(longReply));
    const std::vector<unsigned short> longExpected = {9, 0x0826, 1, 2, 3, 4, kCanary, kCanary};
    EXPECT_EQ(longExpected, std::vector<unsigned short>(longReply, longReply + 8));
}

TEST_F(ChannelTest, GetStatusEightCopiesOtherFailuresDoNot) {
    Open();
    Driver().SetIdentity({5, 0x0826, 0, 1, 6, 14});
    Driver().identity_status = 8;
    unsigned short record[6] = {5, 0x0826, 0, 0, 0, 0};
    EXPECT_EQ(8, GetDriverRecord(record));
    EXPECT_EQ(14, record[5]);

    Driver().identity_status = 3;
    unsigned short untouched[6] = {5, 0x0826, kCanary, kCanary, kCanary, kCanary};
    EXPECT_EQ(3, GetDriverRecord(untouched));
    EXPECT_EQ(kCanary, untouched[5]);

    SimFailCall("DeviceIoControl", 0, ERROR_GEN_FAILURE);
    EXPECT_EQ(66, GetDriverRecord(untouched));
    EXPECT_EQ(kCanary, untouched[2]);
}

TEST_F(ChannelTest, LengthsAboveTheBlockAreCutAndTheBlockIsNeverOverrun) {
    Open();
    // A driver that answers with more words than the block holds.
    std::vector<WORD> huge(5000, 0xFFFF);
    huge[1] = 0x0826;
    Driver().SetIdentity(huge);
    std::vector<unsigned short> record(5010, kCanary);
    record[0] = 5000;
    record[1] = 0x0826;
    EXPECT_EQ(0, GetDriverRecord(record.data()));
    EXPECT_NE(std::string::npos, SimCallLog().back().find("cmd=4 len=4097 type=0x0826"));
    EXPECT_EQ(0xFFFF, record[4097]);
    EXPECT_EQ(kCanary, record[4098]);

    // Even a caller's output size above the block reaches the driver as the block size.
    DWORD size = 100000;
    EXPECT_EQ(0, ExchangeRequest(&size, g_Channel.requestBlock));
    EXPECT_EQ(8204u, size);
    EXPECT_EQ(48u, g_Channel.driverId);
    EXPECT_EQ(0u, g_Channel.controlFlag);
    EXPECT_EQ(1u, g_Channel.nameDefined);

    std::vector<unsigned short> put(5001, 0x3130);
    put[0] = 5000;
    put[1] = 0x1234;
    EXPECT_EQ(0, PutDriverRecord(put.data()));
    ASSERT_EQ(1u, Received().puts.size());
    EXPECT_EQ(4098u, Received().puts[0].size());
    EXPECT_EQ(4097, Received().puts[0][0]);
}

TEST_F(ChannelTest, PutSendsTheRecordsDataWords) {
    Open();
    std::string text(102, 'A');
    text[0] = '&';
    text[101] = 'e';
    unsigned short record[53] = {52, 0x0900};
    for (int i = 0; i < 51; ++i) {
        record[2 + i] = static_cast<unsigned short>(text[2 * i] | (text[2 * i + 1] << 8));
    }
    EXPECT_EQ(0, PutDriverRecord(record));
    ASSERT_EQ(1u, Received().keyTexts.size());
    EXPECT_EQ(text, Received().keyTexts[0]);

    // A record of length 0 has no type and no data to send.
    unsigned short empty[1] = {0};
    EXPECT_EQ(0, PutDriverRecord(empty));
    EXPECT_EQ(std::vector<WORD>({0, 0}), Received().puts.back());

    Driver().key_text_status = 9;
    EXPECT_EQ(9, PutDriverRecord(record));
}

TEST_F(ChannelTest, ControlAcceptsOnlyItsSubCodesAndKeepsTheFlag) {
    Open();
    EXPECT_EQ(255, ControlDriver(5));
    EXPECT_EQ(255, ControlDriver(0x10080));
    EXPECT_EQ(0, SimCallCount("DeviceIoControl"));
    for (int code : {4, 6, 128, 11}) {
        EXPECT_EQ(0, ControlDriver(code));
    }
    EXPECT_EQ(std::vector<int>({4, 6, 128, 11}), Received().controls);
    EXPECT_EQ(1u, g_Channel.controlFlag);
    EXPECT_NE(std::string::npos, SimCallLog().back().find("cmd=2 len=4097 type=0x000B"));

    Driver().control_status = 3;
    EXPECT_EQ(3, ControlDriver(12));
    EXPECT_EQ(1u, g_Channel.controlFlag);
    Driver().control_status = 0;
    EXPECT_EQ(0, ControlDriver(12));
    EXPECT_EQ(0u, g_Channel.controlFlag);
}

TEST_F(ChannelTest, CloseReleasesTheHandleAndTheDefinedName) {
    Open();
    EXPECT_EQ(1, SimOpenHandleCount());
    EXPECT_EQ(1u, SimDosNames().size());
    EXPECT_EQ(0, CloseDriverDevice());
    EXPECT_EQ(1, Received().closes);
    ExpectNothingLeft();
    EXPECT_EQ(INVALID_HANDLE_VALUE, g_Channel.device);
}

TEST_F(ChannelTest, CloseKeepsANameThatExistedBefore) {
    SimDefineDosName("PcCard0-0", "\\Device\\PcCard0-0");
    Open();
    EXPECT_EQ(0, CloseDriverDevice());
    EXPECT_EQ(std::vector<std::string>({"PcCard0-0=\\Device\\PcCard0-0"}), SimDosNames());
    EXPECT_EQ(0, SimCallCount("DefineDosDeviceA"));
}

TEST_F(ChannelTest, SilentCloseLeavesTheDeviceUntilReleased) {
    Open();
    // A driver that never writes the close status: the preset 69 stays.
    Driver().silent |= CARD_SILENT_CLOSE;
    EXPECT_EQ(255, CloseDriverDevice());
    EXPECT_NE(0u, g_Channel.driverId);
    EXPECT_EQ(1, SimOpenHandleCount());
    EXPECT_EQ(0, ReleaseDriverDevice());
    ExpectNothingLeft();
}

TEST_F(ChannelTest, FailedNameRemovalLeavesTheNameUntilReleased) {
    Open();
    // The handle is gone, the channel still records the name.
    SimFailCall("DefineDosDeviceA", SimCallCount("DefineDosDeviceA") + 1, ERROR_ACCESS_DENIED);
    EXPECT_EQ(255, CloseDriverDevice());
    EXPECT_EQ(0, SimOpenHandleCount());
    EXPECT_EQ(1u, g_Channel.nameDefined);
    EXPECT_EQ(0, ReleaseDriverDevice());
    ExpectNothingLeft();
    EXPECT_EQ(INVALID_HANDLE_VALUE, g_Channel.device);
}

TEST_F(ChannelTest, FailedCloseCallKeepsEverything) {
    Open();
    SimFailCall("DeviceIoControl", 0, ERROR_GEN_FAILURE);
    EXPECT_EQ(255, CloseDriverDevice());
    EXPECT_EQ(1, SimOpenHandleCount());
    EXPECT_EQ(1u, SimDosNames().size());
    EXPECT_EQ(0, ReleaseDriverDevice());
    ExpectNothingLeft();
}

class FirmwareTest : public CardTest {
  protected:
    void SetUp() override {
        CardTest::SetUp();
        ASSERT_EQ(0, OpenDriverDevice("KRV"));
    }
};

struct CompatibilityCase {
    WORD number, lowest, highest;
    int result;
};

TEST_F(FirmwareTest, NumberMustMatchARowAndTheRangesOverlap) {
    const CompatibilityCase cases[] = {
        {48, 1, 5, 0}, {48, 100, 120, 65}, {48, 0, 0, 65},    {51, 99, 99, 0}, {50, 1, 99, 65},
        {41, 0, 1, 0}, {52, 99, 65535, 0}, {52, 0, 65535, 0}, {0, 0, 0, 65},   {0xFFFF, 1, 99, 65},
    };
    for (const CompatibilityCase& c : cases) {
        Driver().SetCompatibility({6, 0x0827, 0, 0, c.number, c.lowest, c.highest});
        EXPECT_EQ(c.result, CheckFirmwareCompatibility())
            << c.number << " " << c.lowest << ".." << c.highest;
    }
}

TEST_F(FirmwareTest, AsksForTheCompatibilityRecordWithZeroData) {
    SimClearCallLog();
    CheckFirmwareCompatibility();
    ASSERT_EQ(1, SimCallCount("DeviceIoControl"));
    EXPECT_NE(std::string::npos, SimCallLog().back().find("cmd=4 len=6 type=0x0827"));
}

TEST_F(FirmwareTest, ShortReplyLeavesTheNumberUnfilled) {
    // An earlier reply's words must not stand in for the missing ones.
    Driver().SetCompatibility({6, 0x0827, 0, 0, 48, 1, 99});
    EXPECT_EQ(0, CheckFirmwareCompatibility());
    Driver().SetCompatibility({3, 0x0827, 0, 0});
    EXPECT_EQ(65, CheckFirmwareCompatibility());
}

TEST_F(FirmwareTest, ReadFailuresArePassedOn) {
    Driver().compatibility_status = 8;
    EXPECT_EQ(8, CheckFirmwareCompatibility());
    Driver().compatibility_status = 12;
    EXPECT_EQ(12, CheckFirmwareCompatibility());
    SimFailCall("DeviceIoControl", 0, ERROR_GEN_FAILURE);
    EXPECT_EQ(66, CheckFirmwareCompatibility());
}

} // namespace
