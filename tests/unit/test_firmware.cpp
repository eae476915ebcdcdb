// The firmware compatibility check against the records the simulated card
// driver returns.
#include "driver/firmware.h"
#include "tests/unit/driver_fixture.h"

namespace {

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
