// Tests of adapter key discovery on each Windows family: the card-ID table
// and its order, the enumeration keys and instances, the exact vendor
// description, the nine NT 4 service instances, and over-long values.
#include "settings/adapter.h"

#include "runtime/text.h"
#include "settings/platform.h"
#include "simwin/simctl.h"
#include "simwin/simctl_registry.h"
#include "tests/unit/call_log.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const char* const kRows[] = {
    "KESTRAN_INSTRUMENTS-AIRLOOM/IEEE-4E21",
    "KESTRAN_INSTRUMENTS-AIRLOOM/IEEE-9A07",
    "KESTRAN_INSTRUMENTS-AIRLOOM/IEEE-D3B5",
    "TMX-AirLoom/IEEE-2C68",
    "TMX-AirLoom/IEEE-F170",
};
const char kCard[] = "CORVANE PC Card";
const char kW9xClass[] = "System\\CurrentControlSet\\Services\\Class\\";
const char kW2kClass[] = "System\\CurrentControlSet\\Control\\Class\\";
const char kNtKey[] = "System\\CurrentControlSet\\Services\\RNKRV52";
const char kStale[] = "stale path";

class AdapterTest : public ::testing::Test {
  protected:
    void SetUp() override {
        SimReset();
        CopyText(g_AdapterKeyPath, kAdapterKeyPathSize, kStale);
    }
    void TearDown() override { EXPECT_EQ(0, SimOpenKeyCount()); }

    static void Family(int family) { g_OsFamily = family; }

    // Enumeration entry of row `row` (0-based) naming `driver`, on the 9x
    // line (instance 0) or Windows 2000 (instance 1).
    static void Enumerate(int row, const std::string& driver, bool win2000, int instance = -1) {
        if (instance < 0) {
            instance = win2000 ? 1 : 0;
        }
        std::string key = std::string(win2000 ? "System\\CurrentControlSet\\Enum" : "Enum") +
                          "\\PCMCIA\\" + kRows[row] + "\\" + std::to_string(instance);
        SimRegSetString(key, "Driver", driver);
    }
    static void Vendor(const std::string& key, const std::string& text) {
        SimRegSetString(key, "VendorDescription", text);
    }
};

TEST_F(AdapterTest, CardIdTableInOrderWithItsEnd) {
    for (int i = 0; i < 5; ++i) {
        EXPECT_STREQ(kRows[i], g_CardIdTable[i]);
    }
    EXPECT_EQ(nullptr, g_CardIdTable[5]);
}

TEST_F(AdapterTest, Win98FindsTheOnlyEnumeratedRow) {
    Family(kOsFamilyWin98);
    Enumerate(2, "Net\\0003", false);
    Vendor(std::string(kW9xClass) + "Net\\0003", kCard);
    SimClearCallLog();
    EXPECT_EQ(1, FindAdapter(g_CardIdTable));
    EXPECT_STREQ("System\\CurrentControlSet\\Services\\Class\\Net\\0003", g_AdapterKeyPath);
    const std::vector<std::string> expected = {
        "HKEY_LOCAL_MACHINE\\Enum\\PCMCIA\\KESTRAN_INSTRUMENTS-AIRLOOM/IEEE-4E21\\0",
        "HKEY_LOCAL_MACHINE\\Enum\\PCMCIA\\KESTRAN_INSTRUMENTS-AIRLOOM/IEEE-9A07\\0",
        "HKEY_LOCAL_MACHINE\\Enum\\PCMCIA\\KESTRAN_INSTRUMENTS-AIRLOOM/IEEE-D3B5\\0",
        "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\Net\\0003",
    };
    EXPECT_EQ(expected, KeysOpened("RegOpenKeyExA")) << "rows 4 and 5 are never read";
}

TEST_F(AdapterTest, Win95RowWithAnotherVendorFailsAndTheNextWins) {
    Family(kOsFamilyWin95);
    Enumerate(0, "Net\\0001", false);
    Vendor(std::string(kW9xClass) + "Net\\0001", "OTHER PC Card");
    Enumerate(1, "Net\\0002", false);
    Vendor(std::string(kW9xClass) + "Net\\0002", kCard);
    EXPECT_EQ(1, FindAdapter(g_CardIdTable));
    EXPECT_STREQ("System\\CurrentControlSet\\Services\\Class\\Net\\0002", g_AdapterKeyPath);
}

TEST_F(AdapterTest, VendorDescriptionMustMatchExactly) {
    Family(kOsFamilyWin2000);
    const std::string key = std::string(kW2kClass) + "{4D36E972}\\0007";
    Enumerate(0, "{4D36E972}\\0007", true);
    for (const char* text : {"CORVANE PC CARD", "corvane pc card", "CORVANE PC Card ",
                             " CORVANE PC Card", "CORVANE PC Car", "CORVANE PC Cards", ""}) {
        Vendor(key, text);
        EXPECT_EQ(0, FindAdapter(g_CardIdTable)) << '"' << text << '"';
    }
    // A value too long for the 128-byte buffer fails too, even with the
    // card's name at its start.
    Vendor(key, std::string(kCard) + std::string(120, ' '));
    EXPECT_EQ(0, FindAdapter(g_CardIdTable));
    Vendor(key, kCard);
    EXPECT_EQ(1, FindAdapter(g_CardIdTable));
    EXPECT_EQ(key, g_AdapterKeyPath);
    // Stored without a terminator, the name still reads as the card's.
    SimRegSetValue(key, "VendorDescription", 1, kCard);
    EXPECT_EQ(1, FindAdapter(g_CardIdTable));
}

TEST_F(AdapterTest, EachFamilyReadsOnlyItsInstance) {
    // Windows 2000 reads instance 1 only, the 9x line instance 0 only.
    Family(kOsFamilyWin2000);
    Enumerate(0, "X\\0000", true, 0);
    Vendor(std::string(kW2kClass) + "X\\0000", kCard);
    EXPECT_EQ(0, FindAdapter(g_CardIdTable));

    SimReset();
    Family(kOsFamilyWin95);
    Enumerate(0, "X\\0000", false, 1);
    Vendor(std::string(kW9xClass) + "X\\0000", kCard);
    EXPECT_EQ(0, FindAdapter(g_CardIdTable));

    SimReset();
    Family(kOsFamilyWin2000);
    Enumerate(4, "X\\0000", true);
    Vendor(std::string(kW2kClass) + "X\\0000", kCard);
    SimClearCallLog();
    EXPECT_EQ(1, FindAdapter(g_CardIdTable));
    EXPECT_EQ(
        "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Enum\\PCMCIA\\TMX-AirLoom/IEEE-F170\\1",
        KeysOpened("RegOpenKeyExA")[4]);
    EXPECT_STREQ("System\\CurrentControlSet\\Control\\Class\\X\\0000", g_AdapterKeyPath);
}

TEST_F(AdapterTest, Nt4TriesServiceInstancesOneToNine) {
    Family(kOsFamilyNt4);
    Vendor(std::string(kNtKey) + "3\\Parameters", kCard);
    SimClearCallLog();
    EXPECT_EQ(1, FindAdapter(g_CardIdTable));
    EXPECT_STREQ("System\\CurrentControlSet\\Services\\RNKRV523\\Parameters", g_AdapterKeyPath);
    const std::vector<std::string> expected = {
        "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\RNKRV521\\Parameters",
        "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\RNKRV522\\Parameters",
        "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\RNKRV523\\Parameters",
    };
    EXPECT_EQ(expected, KeysOpened("RegOpenKeyExA"));

    SimReset();
    Vendor(std::string(kNtKey) + "9\\Parameters", kCard);
    EXPECT_EQ(1, ProbeAdapter("any id"));
    EXPECT_STREQ("System\\CurrentControlSet\\Services\\RNKRV529\\Parameters", g_AdapterKeyPath);
}

TEST_F(AdapterTest, Nt4NeverTriesInstanceZeroOrTwoDigits) {
    Family(kOsFamilyNt4);
    Vendor(std::string(kNtKey) + "0\\Parameters", kCard);
    Vendor(std::string(kNtKey) + "10\\Parameters", kCard);
    SimClearCallLog();
    EXPECT_EQ(0, FindAdapter(g_CardIdTable));
    EXPECT_EQ(45, SimCallCount("RegOpenKeyExA")) << "nine reads for each of the five rows";
    EXPECT_EQ(1, BuildAdapterKeyPath("ignored"));
    EXPECT_STREQ("System\\CurrentControlSet\\Services\\RNKRV521\\Parameters", g_AdapterKeyPath);
    EXPECT_EQ(53, TextLength(g_AdapterKeyPath));
}

TEST_F(AdapterTest, UnknownFamilyFindsNothingWithoutRegistryAccess) {
    Family(kOsFamilyUnknown);
    Enumerate(0, "X", true);
    Enumerate(0, "X", false);
    Vendor(std::string(kW2kClass) + "X", kCard);
    Vendor(std::string(kW9xClass) + "X", kCard);
    SimClearCallLog();
    EXPECT_EQ(0, FindAdapter(g_CardIdTable));
    EXPECT_STREQ("", g_AdapterKeyPath);
    EXPECT_TRUE(SimCallLog().empty());
    Family(3);
    EXPECT_EQ(0, BuildAdapterKeyPath(kRows[0]));
}

TEST_F(AdapterTest, EmptyTableFindsNothing) {
    Family(kOsFamilyWin2000);
    const char* const empty[] = {nullptr};
    EXPECT_EQ(0, FindAdapter(empty));
    EXPECT_TRUE(SimCallLog().empty());
    EXPECT_STREQ(kStale, g_AdapterKeyPath);
}

TEST_F(AdapterTest, FailedDriverReadLeavesThePathAlone) {
    Family(kOsFamilyWin98);
    EXPECT_EQ(0, BuildAdapterKeyPath(kRows[0]));
    EXPECT_STREQ(kStale, g_AdapterKeyPath);
    Enumerate(0, "X", false);
    SimFailCall("RegQueryValueExA", 1, ERROR_GEN_FAILURE);
    EXPECT_EQ(0, BuildAdapterKeyPath(kRows[0]));
    EXPECT_STREQ(kStale, g_AdapterKeyPath);
}

// The prefix and separator take 40 characters on the 9x line and 39 on
// Windows 2000, so the path's 127 characters leave 87 and 88 for "Driver".
TEST_F(AdapterTest, DriverValueThatMakesThePathTooLongFailsTheRow) {
    const struct {
        int family;
        bool win2000;
        const char* prefix;
        int longest;
    } cases[] = {
        {kOsFamilyWin95, false, kW9xClass, 87},
        {kOsFamilyWin98, false, kW9xClass, 87},
        {kOsFamilyWin2000, true, kW2kClass, 88},
    };
    for (const auto& c : cases) {
        SimReset();
        Family(c.family);
        const std::string fits(c.longest, 'd');
        Enumerate(0, fits, c.win2000);
        Vendor(c.prefix + fits, kCard);
        EXPECT_EQ(1, FindAdapter(g_CardIdTable)) << c.family;
        EXPECT_EQ(127, TextLength(g_AdapterKeyPath));

        SimReset();
        CopyText(g_AdapterKeyPath, kAdapterKeyPathSize, kStale);
        const std::string tooLong(c.longest + 1, 'd');
        Enumerate(0, tooLong, c.win2000);
        Vendor(c.prefix + tooLong, kCard);
        EXPECT_EQ(0, BuildAdapterKeyPath(kRows[0])) << c.family;
        EXPECT_STREQ(kStale, g_AdapterKeyPath);
        EXPECT_EQ(0, FindAdapter(g_CardIdTable)) << c.family;

        // A "Driver" value longer than its 256-byte buffer fails as well.
        SimReset();
        Enumerate(0, std::string(256, 'd'), c.win2000);
        EXPECT_EQ(0, FindAdapter(g_CardIdTable));
    }
}

} // namespace
