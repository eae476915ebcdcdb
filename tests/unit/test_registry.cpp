// Tests of registry value access: the exact platform calls, access masks and
// sizes; reads that never write past or into the destination on failure;
// decimal and raw number conversion; every key closed on every path.
#include "settings/registry.h"

#include "simwin/simctl.h"
#include "simwin/simctl_registry.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

namespace {

const char kKey[] = "Software\\Corvane\\Test";
const char kCanary = '#';
const int kUntouched = 0x5EED;

// A text as the registry stores it, with its terminator.
std::string Sz(const std::string& text) {
    return text + '\0';
}

class RegistryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        SimReset();
        std::memset(dest_, kCanary, sizeof dest_);
    }
    void TearDown() override { EXPECT_EQ(0, SimOpenKeyCount()) << "a key was left open"; }

    // Reads `name` into dest_ with room for `size` bytes; dest_ has canaries
    // after them.
    int Read(const char* name, int size = kRegStringLimit) {
        return ReadRegString(HKEY_LOCAL_MACHINE, kKey, name, dest_, size);
    }
    bool DestUntouched() const {
        for (char c : dest_) {
            if (c != kCanary) {
                return false;
            }
        }
        return true;
    }
    int Number(const char* name, int* ok) {
        int n = kUntouched;
        *ok = ReadRegNumber(HKEY_LOCAL_MACHINE, kKey, name, &n);
        return n;
    }
    void SetRaw(const char* name, DWORD type, const std::string& data) {
        SimRegSetValue(kKey, name, type, data);
    }

    char dest_[kRegStringLimit + 8];
};

TEST_F(RegistryTest, WriteCreatesTheKeysAndStoresTheTerminator) {
    SimClearCallLog();
    EXPECT_EQ(1, WriteRegString(HKEY_LOCAL_MACHINE, "A\\New\\Path", "Encryption", "text"));
    DWORD type = 0;
    std::string data;
    ASSERT_TRUE(SimRegGetValue("A\\New\\Path", "Encryption", &type, &data));
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), type);
    EXPECT_EQ(std::string("text", 5), data);
    const std::vector<std::string> expected = {
        "RegCreateKeyExA HKEY_LOCAL_MACHINE\\A\\New\\Path options=0x0 access=0x6",
        "RegSetValueExA 0x1000 \"Encryption\" type=1 size=5",
        "RegCloseKey 0x1000",
    };
    EXPECT_EQ(expected, SimCallLog());
    // An empty text is stored as its terminator alone.
    EXPECT_EQ(1, WriteRegString(HKEY_LOCAL_MACHINE, "A\\New\\Path", "Encryption", ""));
    SimRegGetValue("A\\New\\Path", "Encryption", &type, &data);
    EXPECT_EQ(std::string(1, '\0'), data);
}

TEST_F(RegistryTest, WriteFailures) {
    SimFailCall("RegCreateKeyExA", 1, ERROR_ACCESS_DENIED);
    EXPECT_EQ(0, WriteRegString(HKEY_LOCAL_MACHINE, kKey, "V", "x"));
    EXPECT_EQ(0, SimCallCount("RegSetValueExA"));
    EXPECT_EQ(0, SimCallCount("RegCloseKey")) << "there is no key to close";
    EXPECT_FALSE(SimRegKeyExists(kKey));

    SimFailCall("RegSetValueExA", 1, ERROR_CANTWRITE);
    EXPECT_EQ(0, WriteRegString(HKEY_LOCAL_MACHINE, kKey, "V", "x"));
    EXPECT_EQ(1, SimCallCount("RegCloseKey"));
    EXPECT_FALSE(SimRegGetValue(kKey, "V", nullptr, nullptr));
    // A failing close does not undo a stored value.
    SimFailCall("RegCloseKey", 2, ERROR_INVALID_HANDLE);
    EXPECT_EQ(1, WriteRegString(HKEY_LOCAL_MACHINE, kKey, "V", "x"));
    EXPECT_TRUE(SimRegGetValue(kKey, "V", nullptr, nullptr));
    SimClearFaults();
    // The handle whose close was made to fail is still open: close it here.
    EXPECT_EQ(1, SimOpenKeyCount());
    RegCloseKey(reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x1004)));
}

TEST_F(RegistryTest, ReadStringCallsAndLimits) {
    SimRegSetString(kKey, "Fits", std::string(258, 'a'));
    SimRegSetString(kKey, "TooLong", std::string(259, 'b'));
    SimClearCallLog();
    EXPECT_EQ(1, Read("Fits"));
    EXPECT_EQ(std::string(258, 'a'), std::string(dest_));
    EXPECT_EQ(kCanary, dest_[259]);
    const std::vector<std::string> expected = {
        "RegOpenKeyExA HKEY_LOCAL_MACHINE\\Software\\Corvane\\Test options=0x0 access=0x1",
        "RegQueryValueExA 0x1000 \"Fits\" size=259 data=yes",
        "RegCloseKey 0x1000",
    };
    EXPECT_EQ(expected, SimCallLog());

    std::memset(dest_, kCanary, sizeof dest_);
    EXPECT_EQ(0, Read("TooLong"));
    EXPECT_TRUE(DestUntouched()) << "a failed read must leave the destination as it was";
    EXPECT_EQ(0, Read("Missing"));
    EXPECT_EQ(0, ReadRegString(HKEY_LOCAL_MACHINE, "Software\\Nowhere", "Fits", dest_, 259));
    EXPECT_TRUE(DestUntouched());
}

// Reads into a destination of `size` bytes: raw bytes of any type are taken
// and a terminator added when there is room for it. Data longer than the
// destination is cut to it when its text, up to the first zero byte, still
// fits with that zero.
TEST_F(RegistryTest, ReadStringStaysWithinTheDestination) {
    const std::string card("CORVANE PC Card\0", 16);
    const std::string tail("name\0tail-bytes", 15);
    const struct {
        DWORD type;
        std::string data;
        int size;
        std::string expected; // empty: the read fails and writes nothing
    } cases[] = {
        {REG_SZ, card, 15, ""}, // no room for the terminator
        {REG_SZ, card, 16, card},
        {REG_SZ, "abc", 3, ""},
        {REG_SZ, "abc", 4, std::string("abc\0", 4)},
        {REG_BINARY, std::string("\x01\x00\x02\x00", 4), 4, std::string("\x01\x00\x02\x00", 4)},
        {REG_DWORD, std::string("\x0e\x00\x00\x00", 4), kRegStringLimit,
         std::string("\x0e\x00\x00\x00", 4)},
        {REG_SZ, "", 1, std::string(1, '\0')},
        // 259 bytes without a terminator are within the limit but need 260.
        {REG_SZ, std::string(259, 'f'), 259, ""},
        {REG_SZ, std::string(259, 'f'), 260, std::string(259, 'f') + '\0'},
        {REG_SZ, tail, 5, std::string("name\0", 5)},
        {REG_SZ, tail, 8, std::string("name\0tai", 8)},
        {REG_SZ, tail, 4, ""}, // no room for the text's zero
    };
    for (const auto& c : cases) {
        SetRaw("V", c.type, c.data);
        std::memset(dest_, kCanary, sizeof dest_);
        EXPECT_EQ(c.expected.empty() ? 0 : 1, Read("V", c.size)) << c.type << " " << c.size;
        if (c.expected.empty()) {
            EXPECT_TRUE(DestUntouched()) << c.size;
        } else {
            EXPECT_EQ(c.expected, std::string(dest_, c.expected.size())) << c.size;
            EXPECT_EQ(kCanary, dest_[c.expected.size()]) << c.size;
        }
    }
}

TEST_F(RegistryTest, ReadNumberLimitsAndCalls) {
    SimRegSetString(kKey, "Long31", std::string(30, '0') + "7");
    SimRegSetString(kKey, "Long32", std::string(31, '0') + "7");
    SetRaw("Bare32", REG_SZ, std::string(31, '0') + "5");
    SimClearCallLog();
    int ok = 0;
    EXPECT_EQ(7, Number("Long31", &ok));
    EXPECT_EQ(1, ok);
    const std::vector<std::string> expected = {
        "RegOpenKeyExA HKEY_LOCAL_MACHINE\\Software\\Corvane\\Test options=0x0 access=0x1",
        "RegQueryValueExA 0x1000 \"Long31\" size=32 data=yes",
        "RegCloseKey 0x1000",
    };
    EXPECT_EQ(expected, SimCallLog());
    EXPECT_EQ(kUntouched, Number("Long32", &ok));
    EXPECT_EQ(0, ok);
    // 32 characters without a terminator fit the 32 bytes.
    EXPECT_EQ(5, Number("Bare32", &ok));
    EXPECT_EQ(1, ok);
    EXPECT_EQ(kUntouched, Number("Missing", &ok));
    EXPECT_EQ(0, ok);
    int n = kUntouched;
    EXPECT_EQ(0, ReadRegNumber(HKEY_LOCAL_MACHINE, "Software\\Nowhere", "N", &n));
    EXPECT_EQ(kUntouched, n);
}

// Text is read as the C runtime reads a decimal number; other types give
// their first four bytes, least significant first.
TEST_F(RegistryTest, ReadNumberFromTextAndOtherTypes) {
    const struct {
        DWORD type;
        std::string data;
        int number;
    } cases[] = {
        {REG_SZ, Sz(" 14"), 14},
        {REG_SZ, Sz("\t\n\v\f\r 14"), 14},
        {REG_SZ, Sz("14abc"), 14},
        {REG_SZ, Sz(""), 0},
        {REG_SZ, Sz("abc"), 0},
        {REG_SZ, Sz("-3"), -3},
        {REG_SZ, Sz("+7"), 7},
        {REG_SZ, Sz("- 3"), 0},
        {REG_SZ, Sz("2147483647"), INT_MAX},
        {REG_SZ, Sz("2147483648"), INT_MAX},
        {REG_SZ, Sz("99999999999999999999"), INT_MAX},
        {REG_SZ, Sz("-2147483648"), INT_MIN},
        {REG_SZ, Sz("-2147483649"), INT_MIN},
        {REG_SZ, Sz("-99999999999999999999999999999"), INT_MIN},
        {REG_DWORD, std::string("\x0e\x00\x00\x00", 4), 14},
        {REG_DWORD, std::string("\xff\xff\xff\xff", 4), -1},
        {REG_BINARY, std::string("\x34\x12", 2), 0x1234},
        {REG_BINARY, std::string("\x80", 1), 0x80},
        {REG_BINARY, std::string(), 0},
        {REG_BINARY, std::string("\x01\x02\x03\x04\x05\x06\x07\x08", 8), 0x04030201},
        {REG_BINARY, std::string(32, '\x11'), 0x11111111},
        // Text of another string type is not converted: its bytes are taken.
        {REG_EXPAND_SZ, std::string("14\0", 3), 0x3431},
        {REG_DWORD_BIG_ENDIAN, std::string("\x00\x00\x00\x0e", 4), 0x0e000000},
    };
    for (const auto& c : cases) {
        SetRaw("N", c.type, c.data);
        int ok = 0;
        EXPECT_EQ(c.number, Number("N", &ok)) << c.type << " \"" << c.data << '"';
        EXPECT_EQ(1, ok) << c.data;
    }
    SetRaw("N", REG_BINARY, std::string(33, '\x11'));
    int ok = 0;
    EXPECT_EQ(kUntouched, Number("N", &ok));
    EXPECT_EQ(0, ok);
}

// Each platform call of a read made to fail in turn: the read fails, the
// destination stays as it was and no key is left open.
TEST_F(RegistryTest, EveryFailingCallFailsTheReadCleanly) {
    SimRegSetString(kKey, "V", "42");
    for (const char* function : {"RegOpenKeyExA", "RegQueryValueExA"}) {
        SimClearFaults();
        SimFailCall(function, 0, ERROR_GEN_FAILURE);
        std::memset(dest_, kCanary, sizeof dest_);
        EXPECT_EQ(0, Read("V")) << function;
        EXPECT_TRUE(DestUntouched()) << function;
        int ok = 1;
        EXPECT_EQ(kUntouched, Number("V", &ok)) << function;
        EXPECT_EQ(0, ok);
        EXPECT_EQ(0, SimOpenKeyCount()) << function;
    }
}

} // namespace
