// Platform identification against the simulated version query.
#include "settings/platform.h"
#include "simwin/simctl.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

struct VersionCase {
    DWORD platform, major, minor, build;
    const char* csd;
    int family;
    const char* description;
};

class PlatformTest : public ::testing::Test {
  protected:
    void SetUp() override { SimReset(); }
};

TEST_F(PlatformTest, VersionTableGivesFamilyAndDescription) {
    const VersionCase cases[] = {
        {1, 4, 0, 950, "", 1, "WIN95 Versie 4.00  Build 950"},
        {1, 3, 95, 1, "x", 1, "WIN95 Versie 3.95 x Build 1"},
        {1, 4, 10, 0x040A08AE, " A ", 2, "WIN98 Versie 4.10  A  Build 2222"},
        {1, 4, 90, 3000, "", 2, "WIN98 Versie 4.90  Build 3000"},
        {1, 5, 0, 1, "", 2, "WIN98 Versie 5.00  Build 1"},
        {2, 3, 51, 1057, "Service Pack 5", 4, "WINNT Versie 3.51 Service Pack 5 Build 1057"},
        {2, 4, 0, 1381, "Service Pack 6", 4, "WINNT Versie 4.00 Service Pack 6 Build 1381"},
        {2, 5, 0, 2195, "Service Pack 1", 8, "WIN2000 Versie 5.00 Service Pack 1 Build 2195"},
        {2, 5, 1, 2600, "", 8, "WIN2000 Versie 5.01  Build 2600"},
        {2, 10, 0, 0xFFFF4A64, "", 8, "WIN2000 Versie 10.00  Build 19044"},
    };
    for (const VersionCase& c : cases) {
        SimSetVersion(c.platform, c.major, c.minor, c.build, c.csd);
        char copy[kOsDescriptionSize];
        std::memset(copy, '#', sizeof copy);
        EXPECT_EQ(c.family, IdentifyPlatform(copy)) << c.description;
        EXPECT_EQ(c.family, g_OsFamily) << c.description;
        EXPECT_STREQ(c.description, g_OsDescription);
        EXPECT_STREQ(c.description, copy);
    }
}

TEST_F(PlatformTest, UnknownPlatformKeepsEarlierDescription) {
    SimSetVersion(2, 5, 0, 2195, "");
    IdentifyPlatform(nullptr);
    const std::string before = g_OsDescription;
    SimSetVersion(0, 3, 10, 1, "");
    EXPECT_EQ(0, IdentifyPlatform(nullptr));
    EXPECT_EQ(0, g_OsFamily);
    EXPECT_EQ(before, g_OsDescription);
    SimSetVersion(3, 10, 0, 1, "");
    EXPECT_EQ(0, IdentifyPlatform(nullptr));
    EXPECT_EQ(before, g_OsDescription);
}

TEST_F(PlatformTest, FailedQueryGivesUnknownOs) {
    SimSetVersion(2, 5, 0, 2195, "");
    IdentifyPlatform(nullptr);
    SimFailCall("GetVersionExA", 0, ERROR_INVALID_PARAMETER);
    EXPECT_EQ(0, IdentifyPlatform(nullptr));
    EXPECT_EQ(0, g_OsFamily);
    EXPECT_STREQ("Unknown OS!", g_OsDescription);
}

TEST_F(PlatformTest, AsksWithTheSizeOfTheVersionRecord) {
    IdentifyPlatform(nullptr);
    ASSERT_EQ(1, SimCallCount("GetVersionExA"));
    EXPECT_EQ("GetVersionExA 148", SimCallLog().back());
}

TEST_F(PlatformTest, LongServicePackTextIsCutAt127Characters) {
    const std::string csd(127, 'S');
    SimSetVersion(2, 5, 0, 2195, csd.c_str());
    char copy[kOsDescriptionSize + 8];
    std::memset(copy, '#', sizeof copy);
    EXPECT_EQ(8, IdentifyPlatform(copy));
    const std::string expected = ("WIN2000 Versie 5.00 " + csd).substr(0, 127);
    EXPECT_EQ(expected, g_OsDescription);
    EXPECT_EQ(expected, copy);
    // Nothing beyond the 128 bytes of the destination is written.
    for (size_t i = kOsDescriptionSize; i < sizeof copy; ++i) {
        EXPECT_EQ('#', copy[i]);
    }
}

} // namespace
