// Pushing a new first key into the simulated card driver: the identity test,
// the exact key text sent, refusals and the close on every way out.
#include "driver/keypush.h"
#include "keyrecord/codec.h"
#include "tests/unit/driver_fixture.h"

namespace {

// The key record the driver must receive for `key`, written out byte by byte
// on purpose, not built with keyrecord/'s operations, so a fault there shows.
std::string ExpectedKeyText(const char* key) {
    unsigned char record[76] = {
        0x6B, 0x71, 0x4B, 0x51, // magic
        0,    0,                // default key index
        1,    0,                // enable flag
        33,   0,    0xB0, 0xFC, // embedded record length and type
        5,    0,                // key 1 length, then its data
    };
    for (int i = 0; i < 5; ++i) {
        record[14 + i] = static_cast<unsigned char>(key[i]);
    }
    char text[103];
    ScrambleBytes(g_ScrambleKey, text, record, 76);
    return text;
}

class KeyPushTest : public CardTest {
  protected:
    // A push that ends with `result` after the device was closed once.
    void ExpectRefusedAndClosed(int result) {
        EXPECT_EQ(result, PushKeyToDriver("12345"));
        EXPECT_EQ(1, Received().closes);
        ExpectNothingLeft();
    }
};

TEST_F(KeyPushTest, SendsTheFreshKeyRecordThenCommitsAndCloses) {
    EXPECT_EQ(0, PushKeyToDriver("1a2b3"));
    SimCardDriverLog log = Received();
    ASSERT_EQ(1u, log.keyTexts.size());
    EXPECT_EQ(102u, log.keyTexts[0].size());
    EXPECT_EQ(ExpectedKeyText("1a2b3"), log.keyTexts[0]);
    EXPECT_EQ(std::vector<int>({128}), log.controls);
    EXPECT_EQ(1, log.closes);
    EXPECT_TRUE(log.puts.empty());
    ExpectNothingLeft();
    // The same key gives the same text on every push.
    EXPECT_EQ(0, PushKeyToDriver("1a2b3"));
    EXPECT_EQ(Received().keyTexts[0], Received().keyTexts[1]);
}

TEST_F(KeyPushTest, WorksOnEveryFamily) {
    const struct {
        int family;
        const char* device;
    } cases[] = {{kOsFamilyWin95, "RUKRV41.VXD"},
                 {kOsFamilyWin98, "RUKRV48.VXD"},
                 {kOsFamilyNt4, "RNKRV521"}};
    for (const auto& c : cases) {
        SimReset();
        Family(c.family);
        SimAddCardDriver(c.device);
        EXPECT_EQ(0, PushKeyToDriver("fffff")) << c.device;
        ASSERT_EQ(1u, SimCardDriverReceived(c.device).keyTexts.size()) << c.device;
        EXPECT_EQ(ExpectedKeyText("fffff"), SimCardDriverReceived(c.device).keyTexts[0]);
        ExpectNothingLeft();
    }
}

TEST_F(KeyPushTest, AnotherOrUnreadableIdentityIsRefusedAndClosed) {
    const std::vector<std::vector<WORD>> identities = {
        {5, 0x0826, 0, 1, 6, 15},
        {5, 0x0826, 0, 2, 6, 14},
        {5, 0x0826, 0, 1, 7, 14},
        {3, 0x0826, 0, 1}, // short reply: the minor version stays 0
        // Also after a reply that held minor 14: the record is asked with
        // four zero data words each time, not with the last reply's words.
        {4, 0x0826, 0, 1, 6},
    };
    for (const std::vector<WORD>& identity : identities) {
        AddDriver(kCardDevice).SetIdentity(identity);
        ExpectRefusedAndClosed(5);
        EXPECT_TRUE(Received().keyTexts.empty());
    }
    AddDriver(kCardDevice).identity_status = 3;
    ExpectRefusedAndClosed(5);
}

TEST_F(KeyPushTest, NoUsableDeviceGivesSix) {
    Driver().SetCompatibility({6, 0x0827, 0, 0, 50, 1, 99});
    EXPECT_EQ(6, PushKeyToDriver("12345"));
    ExpectNothingLeft();
    AddDriver(kCardDevice).probe_status = 9;
    EXPECT_EQ(6, PushKeyToDriver("12345"));
    EXPECT_TRUE(Received().keyTexts.empty());
    ExpectNothingLeft();
}

TEST_F(KeyPushTest, RefusedKeyOrCommitIsAFailedPush) {
    Driver().key_text_status = 4;
    ExpectRefusedAndClosed(6);
    EXPECT_TRUE(Received().controls.empty());

    AddDriver(kCardDevice).control_status = 4;
    ExpectRefusedAndClosed(6);
}

TEST_F(KeyPushTest, UnacknowledgedCloseKeepsTheResultButLeavesNothing) {
    Driver().silent |= CARD_SILENT_CLOSE;
    EXPECT_EQ(0, PushKeyToDriver("12345"));
    EXPECT_EQ(1u, Received().keyTexts.size());
    ExpectNothingLeft();
}

} // namespace
