// Tests of the simulated registry: the Windows behaviour the program relies
// on (names, types, sizes, error codes, handles, access masks, faults) and
// the REGEDIT4 form of the machine file (syntax, line numbers in errors,
// round trip, order).
#include "simwin/simctl.h"
#include "simwin/simctl_registry.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

const BYTE kCanary = 0xA5;

class SimRegistryTest : public ::testing::Test {
  protected:
    void SetUp() override { SimReset(); }
    void TearDown() override { EXPECT_EQ(0, SimOpenKeyCount()) << "a test left a key open"; }

    HKEY Open(const char* path, REGSAM access = KEY_ALL_ACCESS) {
        HKEY key = nullptr;
        EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, access, &key)) << path;
        return key;
    }

    HKEY Create(const char* path, DWORD* disposition = nullptr) {
        HKEY key = nullptr;
        EXPECT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0,
                                                 KEY_ALL_ACCESS, nullptr, &key, disposition))
            << path;
        return key;
    }
};

std::string Bytes(const void* p, size_t n) {
    return std::string(static_cast<const char*>(p), n);
}

std::string Machine(const std::string& registry) {
    return "RCKRV48 MACHINE 1\n[Windows]\nPlatformId=2\n\nREGEDIT4\n" + registry;
}

// A value as the registry should hold it.
struct Stored {
    const char* name;
    DWORD type;
    std::string data;
};

void ExpectStored(const std::string& key, const std::vector<Stored>& values) {
    for (const Stored& v : values) {
        DWORD type = 0;
        std::string data;
        EXPECT_TRUE(SimRegGetValue(key, v.name, &type, &data)) << v.name;
        EXPECT_EQ(v.type, type) << v.name;
        EXPECT_EQ(v.data, data) << v.name;
    }
}

// Loads a machine whose registry part is `registry`; returns the error.
std::string LoadError(const std::string& registry) {
    std::string error;
    EXPECT_FALSE(SimLoadMachineText(Machine(registry), &error)) << registry;
    return error;
}

TEST_F(SimRegistryTest, NamesIgnoreCaseAndKeepTheirs) {
    HKEY key = Create("Software\\MixedCase\\Sub");
    const char text[] = "value";
    EXPECT_EQ(ERROR_SUCCESS,
              RegSetValueExA(key, "TheName", 0, REG_SZ, reinterpret_cast<const BYTE*>(text), 6));
    EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(key));

    key = Open("SOFTWARE\\mixedcase\\SUB", KEY_QUERY_VALUE);
    char data[16];
    DWORD size = sizeof data;
    DWORD type = 0;
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(key, "thename", nullptr, &type,
                                              reinterpret_cast<BYTE*>(data), &size));
    EXPECT_EQ(REG_SZ, type);
    EXPECT_EQ(6u, size);
    EXPECT_STREQ("value", data);
    // Setting it again under another case keeps the first spelling.
    EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(key));
    key = Open("software\\MIXEDCASE\\sub");
    EXPECT_EQ(ERROR_SUCCESS,
              RegSetValueExA(key, "THENAME", 0, REG_SZ, reinterpret_cast<const BYTE*>(text), 6));
    EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(key));
    EXPECT_NE(std::string::npos,
              SimRegExportText().find("[HKEY_LOCAL_MACHINE\\Software\\MixedCase\\Sub]\n"
                                      "\"TheName\"=\"value\"\n"));
    EXPECT_EQ(3, SimRegKeyCount());
}

TEST_F(SimRegistryTest, SlashIsPartOfAKeyName) {
    RegCloseKey(Create("Enum\\PCMCIA\\TMX-AirLoom/IEEE-2C68\\0"));
    EXPECT_TRUE(SimRegKeyExists("Enum\\PCMCIA\\TMX-AirLoom/IEEE-2C68"));
    EXPECT_FALSE(SimRegKeyExists("Enum\\PCMCIA\\TMX-AirLoom"));
    EXPECT_EQ(4, SimRegKeyCount());
}

TEST_F(SimRegistryTest, CreateMakesEveryMissingKeyAndTellsWhich) {
    DWORD disposition = 0;
    RegCloseKey(Create("A\\B\\C\\D", &disposition));
    EXPECT_EQ(static_cast<DWORD>(REG_CREATED_NEW_KEY), disposition);
    EXPECT_EQ(4, SimRegKeyCount());
    RegCloseKey(Create("a\\b\\c\\d", &disposition));
    EXPECT_EQ(static_cast<DWORD>(REG_OPENED_EXISTING_KEY), disposition);
    RegCloseKey(Create("A\\B\\E", &disposition));
    EXPECT_EQ(static_cast<DWORD>(REG_CREATED_NEW_KEY), disposition);
    EXPECT_EQ(5, SimRegKeyCount());
    // Empty names are skipped, trailing or inside; a leading backslash is a
    // bad path on the NT line and is skipped on the Windows 95 line.
    RegCloseKey(Create("A\\B\\\\", &disposition));
    EXPECT_EQ(static_cast<DWORD>(REG_OPENED_EXISTING_KEY), disposition);
    RegCloseKey(Create("A\\\\B\\C", &disposition));
    EXPECT_EQ(static_cast<DWORD>(REG_OPENED_EXISTING_KEY), disposition);
    HKEY key = reinterpret_cast<HKEY>(1);
    EXPECT_EQ(161, RegCreateKeyExA(HKEY_LOCAL_MACHINE, "\\A", 0, nullptr, 0, KEY_ALL_ACCESS,
                                   nullptr, &key, nullptr));
    EXPECT_EQ(161, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "\\A", 0, KEY_QUERY_VALUE, &key));
    SimSetWindowsFamily(1);
    EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "\\A\\B", 0, KEY_QUERY_VALUE, &key));
    RegCloseKey(key);
    // Only persistent keys exist here: other options are refused.
    EXPECT_EQ(ERROR_INVALID_PARAMETER, RegCreateKeyExA(HKEY_LOCAL_MACHINE, "V", 0, nullptr, 1,
                                                       KEY_ALL_ACCESS, nullptr, &key, nullptr));
    EXPECT_EQ(5, SimRegKeyCount());
}

TEST_F(SimRegistryTest, MissingKeyOrValueIsFileNotFound) {
    SimRegSetString("Present", "Here", "x");
    HKEY key = reinterpret_cast<HKEY>(1);
    EXPECT_EQ(ERROR_FILE_NOT_FOUND,
              RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Present\\Absent", 0, KEY_QUERY_VALUE, &key));
    EXPECT_EQ(nullptr, key);
    EXPECT_EQ(ERROR_FILE_NOT_FOUND,
              RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Absent", 0, KEY_QUERY_VALUE, &key));
    key = Open("Present", KEY_QUERY_VALUE);
    DWORD size = 4;
    BYTE data[4];
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegQueryValueExA(key, "There", nullptr, nullptr, data, &size));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegQueryValueExA(key, "", nullptr, nullptr, data, &size));
    RegCloseKey(key);
}

TEST_F(SimRegistryTest, QuerySizesAndMoreData) {
    SimRegSetString("K", "Text", "abcdef");
    HKEY key = Open("K", KEY_QUERY_VALUE);
    DWORD size = 0;
    DWORD type = 0;
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(key, "Text", nullptr, &type, nullptr, &size));
    EXPECT_EQ(7u, size);
    EXPECT_EQ(REG_SZ, type);
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(key, "Text", nullptr, &type, nullptr, nullptr));

    // One byte short: ERROR_MORE_DATA with the size needed, the type given,
    // and nothing written past the buffer.
    BYTE buffer[8];
    std::memset(buffer, kCanary, sizeof buffer);
    size = 6;
    type = 0;
    EXPECT_EQ(ERROR_MORE_DATA, RegQueryValueExA(key, "Text", nullptr, &type, buffer, &size));
    EXPECT_EQ(7u, size);
    EXPECT_EQ(REG_SZ, type);
    EXPECT_EQ(kCanary, buffer[6]);
    EXPECT_EQ(kCanary, buffer[7]);

    // Exactly the size: the data and the size.
    std::memset(buffer, kCanary, sizeof buffer);
    size = 7;
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(key, "Text", nullptr, &type, buffer, &size));
    EXPECT_EQ(7u, size);
    EXPECT_EQ(Bytes("abcdef", 7), Bytes(buffer, 7));
    EXPECT_EQ(kCanary, buffer[7]);

    // Data without a size is an invalid call; so is a reserved pointer.
    EXPECT_EQ(ERROR_INVALID_PARAMETER,
              RegQueryValueExA(key, "Text", nullptr, &type, buffer, nullptr));
    DWORD reserved = 0;
    size = 8;
    EXPECT_EQ(ERROR_INVALID_PARAMETER,
              RegQueryValueExA(key, "Text", &reserved, &type, buffer, &size));
    RegCloseKey(key);
}

TEST_F(SimRegistryTest, EveryTypeIsKeptAsRawBytes) {
    HKEY key = Create("Types");
    const BYTE dword[4] = {0x0E, 0, 0, 0};
    const BYTE binary[3] = {0x01, 0x00, 0xFF};
    const BYTE bare[3] = {'a', 'b', 'c'};
    const BYTE odd[5] = {1, 2, 3, 4, 5};
    EXPECT_EQ(ERROR_SUCCESS, RegSetValueExA(key, "D", 0, REG_DWORD, dword, 4));
    EXPECT_EQ(ERROR_SUCCESS, RegSetValueExA(key, "B", 0, REG_BINARY, binary, 3));
    EXPECT_EQ(ERROR_SUCCESS, RegSetValueExA(key, "S", 0, REG_SZ, bare, 3));
    EXPECT_EQ(ERROR_SUCCESS, RegSetValueExA(key, "X", 0, 0x4321, odd, 5));
    EXPECT_EQ(ERROR_SUCCESS, RegSetValueExA(key, "E", 0, REG_SZ, nullptr, 0));
    EXPECT_EQ(998, RegSetValueExA(key, "N", 0, REG_SZ, nullptr, 4));
    RegCloseKey(key);

    ExpectStored("types", {{"d", REG_DWORD, Bytes(dword, 4)},
                           {"B", REG_BINARY, Bytes(binary, 3)},
                           {"S", REG_SZ, "abc"},
                           {"X", 0x4321, Bytes(odd, 5)},
                           {"E", REG_SZ, ""}});
    EXPECT_FALSE(SimRegGetValue("Types", "N", nullptr, nullptr));
}

TEST_F(SimRegistryTest, HandlesMustBeClosedOnce) {
    SimRegCreateKey("K\\L");
    HKEY a = Open("K");
    HKEY b = Open("K");
    EXPECT_NE(a, b);
    EXPECT_EQ(2, SimOpenKeyCount());
    // A handle opens keys below its own key; an empty path opens the key again.
    HKEY c = nullptr;
    EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyExA(a, "L", 0, KEY_READ, &c));
    HKEY d = nullptr;
    EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyExA(c, "", 0, KEY_READ, &d));
    EXPECT_EQ(4, SimOpenKeyCount());
    for (HKEY h : {a, b, c, d}) {
        EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(h));
    }
    EXPECT_EQ(0, SimOpenKeyCount());
    EXPECT_EQ(ERROR_INVALID_HANDLE, RegCloseKey(a));
    DWORD size = 0;
    EXPECT_EQ(ERROR_INVALID_HANDLE, RegQueryValueExA(a, "x", nullptr, nullptr, nullptr, &size));
    EXPECT_EQ(ERROR_INVALID_HANDLE, RegSetValueExA(a, "x", 0, REG_SZ, nullptr, 0));
    EXPECT_EQ(ERROR_INVALID_HANDLE, RegCloseKey(reinterpret_cast<HKEY>(0x1234)));
    // The predefined root closes without effect; the other roots do not exist here.
    EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(HKEY_LOCAL_MACHINE));
    HKEY e = nullptr;
    EXPECT_EQ(ERROR_INVALID_HANDLE, RegOpenKeyExA(HKEY_CURRENT_USER, "K", 0, KEY_READ, &e));
    EXPECT_EQ(ERROR_INVALID_HANDLE,
              RegCreateKeyExA(HKEY_USERS, "K", 0, nullptr, 0, KEY_READ, nullptr, &e, nullptr));
    // A reset drops every handle.
    Open("K");
    SimReset();
    EXPECT_EQ(0, SimOpenKeyCount());
}

TEST_F(SimRegistryTest, HandleAllowsOnlyWhatItsAccessAllows) {
    SimRegSetString("K", "V", "x");
    const BYTE one[1] = {'1'};
    HKEY query = Open("K", KEY_QUERY_VALUE);
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegSetValueExA(query, "V", 0, REG_SZ, one, 1));
    HKEY created = nullptr;
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegCreateKeyExA(query, "Sub", 0, nullptr, 0, KEY_ALL_ACCESS,
                                                   nullptr, &created, nullptr));
    RegCloseKey(query);
    HKEY set = Open("K", KEY_SET_VALUE);
    DWORD size = 0;
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegQueryValueExA(set, "V", nullptr, nullptr, nullptr, &size));
    EXPECT_EQ(ERROR_SUCCESS, RegSetValueExA(set, "V", 0, REG_SZ, one, 1));
    RegCloseKey(set);
    HKEY read = Open("K", KEY_READ);
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(read, "V", nullptr, nullptr, nullptr, &size));
    RegCloseKey(read);
    EXPECT_FALSE(SimRegKeyExists("K\\Sub"));
}

// A key refuses writes however it is reached, also below an open handle.
TEST_F(SimRegistryTest, DeniedKeyIsDeniedThroughItsParentsHandle) {
    std::string error;
    ASSERT_TRUE(SimLoadMachineText("RCKRV48 MACHINE 1\n[Windows]\nPlatformId=2\n[RegistryFaults]\n"
                                   "DenyWrites=HKEY_LOCAL_MACHINE\\A\\B\n",
                                   &error))
        << error;
    SimRegSetString("A\\B", "V", "x");
    HKEY parent = Open("A");
    HKEY key = nullptr;
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegOpenKeyExA(parent, "B", 0, KEY_SET_VALUE, &key));
    EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyExA(parent, "B", 0, KEY_READ, &key));
    RegCloseKey(key);
    RegCloseKey(parent);
}

TEST_F(SimRegistryTest, CallLogShowsPathsAccessAndSizes) {
    SimRegSetString("Software\\Corvane", "version", "2.1");
    SimClearCallLog();
    HKEY key = Open("Software\\Corvane", KEY_QUERY_VALUE);
    DWORD size = 259;
    char data[259];
    RegQueryValueExA(key, "version", nullptr, nullptr, reinterpret_cast<BYTE*>(data), &size);
    RegCloseKey(key);
    key = Create("Software\\Corvane\\Driver");
    RegSetValueExA(key, "Encryption", 0, REG_SZ, reinterpret_cast<const BYTE*>("ab"), 3);
    RegCloseKey(key);
    const std::vector<std::string> expected = {
        "RegOpenKeyExA HKEY_LOCAL_MACHINE\\Software\\Corvane options=0x0 access=0x1",
        "RegQueryValueExA 0x1000 \"version\" size=259 data=yes",
        "RegCloseKey 0x1000",
        "RegCreateKeyExA HKEY_LOCAL_MACHINE\\Software\\Corvane\\Driver options=0x0 access=0xF003F",
        "RegSetValueExA 0x1004 \"Encryption\" type=1 size=3",
        "RegCloseKey 0x1004",
    };
    EXPECT_EQ(expected, SimCallLog());
}

TEST_F(SimRegistryTest, AnySingleCallCanBeMadeToFail) {
    SimRegSetString("K", "V", "old");
    SimFailCall("RegCreateKeyExA", 1, ERROR_ACCESS_DENIED);
    HKEY key = nullptr;
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegCreateKeyExA(HKEY_LOCAL_MACHINE, "K\\New", 0, nullptr, 0,
                                                   KEY_ALL_ACCESS, nullptr, &key, nullptr));
    EXPECT_FALSE(SimRegKeyExists("K\\New"));
    EXPECT_EQ(0, SimOpenKeyCount());

    SimFailCall("RegQueryValueExA", 2, ERROR_GEN_FAILURE);
    SimFailCall("RegSetValueExA", 1, ERROR_CANTWRITE);
    key = Open("K");
    DWORD size = 0;
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(key, "V", nullptr, nullptr, nullptr, &size));
    EXPECT_EQ(ERROR_GEN_FAILURE, RegQueryValueExA(key, "V", nullptr, nullptr, nullptr, &size));
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(key, "V", nullptr, nullptr, nullptr, &size));
    EXPECT_EQ(ERROR_CANTWRITE,
              RegSetValueExA(key, "V", 0, REG_SZ, reinterpret_cast<const BYTE*>("new"), 4));
    std::string data;
    SimRegGetValue("K", "V", nullptr, &data);
    EXPECT_EQ(Bytes("old", 4), data);
    SimFailCall("RegCloseKey", 1, ERROR_INVALID_HANDLE);
    EXPECT_EQ(ERROR_INVALID_HANDLE, RegCloseKey(key));
    EXPECT_EQ(1, SimOpenKeyCount()) << "a failed close leaves the handle open";
    EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(key));
}

// ---- machine file -----------------------------------------------------------

TEST_F(SimRegistryTest, MachineFileSyntax) {
    std::string error;
    ASSERT_TRUE(
        SimLoadMachineText(Machine("; a comment\n"
                                   "[HKEY_LOCAL_MACHINE\\Enum\\PCMCIA\\TMX-AirLoom/IEEE-F170\\0]\n"
                                   "\"Driver\"=\"Net\\\\0003\"\n"
                                   "@=\"default \\\"quoted\\\"\"\n"
                                   "\"Number\"=dword:0000000e\n"
                                   "\"Short\"=DWORD:e\n"
                                   "\"Bin\"=hex:01,ff,0A\n"
                                   "\"Empty\"=hex:\n"
                                   "\"Bare\"=hex(1):61,62\n"
                                   "\"Multi\"=hex(7):61,00,\\\n"
                                   "  62,00,\\\n"
                                   "  00\n"
                                   "\"Spaced\" = \"x\"\n"
                                   "[hkey_local_machine\\enum\\pcmcia\\TMX-AIRLOOM/IEEE-F170\\0]\n"
                                   "\"Later\"=\"y\"\n"),
                           &error))
        << error;
    const std::string key = "Enum\\PCMCIA\\TMX-AirLoom/IEEE-F170\\0";
    ExpectStored(key, {{"Driver", REG_SZ, Bytes("Net\\0003", 9)},
                       {"", REG_SZ, Bytes("default \"quoted\"", 17)},
                       {"Number", REG_DWORD, Bytes("\x0e\0\0\0", 4)},
                       {"Short", REG_DWORD, Bytes("\x0e\0\0\0", 4)},
                       {"Bin", REG_BINARY, Bytes("\x01\xff\x0a", 3)},
                       {"Empty", REG_BINARY, ""},
                       {"Bare", REG_SZ, "ab"},
                       {"Multi", REG_MULTI_SZ, Bytes("a\0b\0\0", 5)},
                       {"Spaced", REG_SZ, Bytes("x", 2)},
                       {"Later", REG_SZ, Bytes("y", 2)}});
    EXPECT_EQ(4, SimRegKeyCount());
    EXPECT_TRUE(SimCallLog().empty()) << "loading is not a program call";
}

TEST_F(SimRegistryTest, MachineFileErrorsNameTheLine) {
    // The registry part starts on line 6 of the machine file.
    const std::string k = "[HKEY_LOCAL_MACHINE\\K]\n";
    const std::pair<std::string, std::string> cases[] = {
        {"\"V\"=\"x\"\n", "line 6: a value before the first [key] header"},
        {k + "\"V\"=\"x\n", "line 7: value data: missing closing quote"},
        {k + "\"V\"=\"a\\b\"\n",
         "line 7: value data: a backslash in a quoted text must be followed by \\ or \""},
        {k + "\"V=1\n", "line 7: value name: missing closing quote"},
        {k + "\"V\"=\"a\" b\n", "line 7: unexpected text after the closing quote"},
        {k + "\"V\"=dword:123456789\n", "line 7: dword: takes 1 to 8 hexadecimal digits"},
        {k + "\"V\"=dword:xyz\n", "line 7: dword: takes 1 to 8 hexadecimal digits"},
        {k + "\"V\"=hex:01,02,\\\n  zz\n",
         "line 8: expected a byte of one or two hexadecimal digits"},
        {k + "\"V\"=hex:01,\\\n  023\n", "line 8: expected a comma between bytes"},
        {k + "\"V\"=hex:01,,02\n", "line 7: expected a byte of one or two hexadecimal digits"},
        {k + "\"V\"=hex:01,\\\n", "line 7: the data goes on past the end of the file"},
        {k + "\"V\"=hex(q):01\n", "line 7: hex(N): takes a type of 1 to 8 hexadecimal digits"},
        {k + "\"V\"=hexa:01\n", "line 7: expected hex: or hex(N):"},
        {k + "\"V\"=12\n", "line 7: expected \"text\", dword:, hex: or hex(N): after ="},
        {k + "\"V\" \"x\"\n", "line 7: expected = after the value name"},
        {k + "\"V\"=-\n", "line 7: deleting a value is not supported in a machine file"},
        {"[-HKEY_LOCAL_MACHINE\\K]\n", "line 6: deleting a key is not supported in a machine file"},
        {"[HKEY_LOCAL_MACHINE\\K\n", "line 6: a key header must end with ]"},
        {"[HKEY_CURRENT_USER\\K]\n",
         "line 6: only keys under HKEY_LOCAL_MACHINE are supported, not \"HKEY_CURRENT_USER\""},
        {"[HKEY_LOCAL_MACHINE\\A\\\\B]\n",
         "line 6: empty key name in [HKEY_LOCAL_MACHINE\\A\\\\B]"},
        {"[HKEY_LOCAL_MACHINE\\A\\]\n", "line 6: empty key name in [HKEY_LOCAL_MACHINE\\A\\]"},
        {k + "\n; fine\nName=1\n", "line 9: expected [key], \"Name\"=data, @=data or a ;comment"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.second, LoadError(c.first));
    }
    // A failed load leaves an empty registry.
    EXPECT_EQ(0, SimRegKeyCount());
}

TEST_F(SimRegistryTest, SavedTextLoadsBackTheSameRegistry) {
    std::string long_binary(300, '\0');
    for (size_t i = 0; i < long_binary.size(); ++i) {
        long_binary[i] = static_cast<char>(i);
    }
    SimRegSetString("Zeta\\b", "z", "last");
    SimRegSetString("alpha\\Beta", "Quote\"And\\Slash", "text \"with\" \\ both");
    SimRegSetString("alpha\\Beta", "", "default");
    SimRegSetString("alpha\\Beta", "8bit", "caf\xe9");
    SimRegSetValue("alpha\\Beta", "NoTerminator", REG_SZ, "abc");
    SimRegSetValue("alpha\\Beta", "InnerZero", REG_SZ, Bytes("a\0b\0", 4));
    SimRegSetValue("alpha\\Beta", "LineBreak", REG_SZ, Bytes("a\nb\0", 4));
    SimRegSetValue("alpha\\Beta", "EmptySz", REG_SZ, "");
    SimRegSetDword("alpha\\Beta", "Dword", 0xDEADBEEF);
    SimRegSetValue("alpha\\Beta", "ShortDword", REG_DWORD, "\x01\x02");
    SimRegSetValue("alpha\\Beta", "Binary", REG_BINARY, long_binary);
    SimRegSetValue("alpha\\Beta", "Odd", 0x12345, "\xff");
    SimRegCreateKey("alpha\\Empty\\Deeper");
    SimRegCreateKey("Slash/Name\\x");

    const std::string first = SimSaveMachineText();
    std::string error;
    ASSERT_TRUE(SimLoadMachineText(first, &error)) << error;
    EXPECT_EQ(first, SimSaveMachineText());
    // Every key is there, including the empty ones.
    EXPECT_TRUE(SimRegKeyExists("alpha\\Empty\\Deeper"));
    EXPECT_TRUE(SimRegKeyExists("slash/name\\X"));
    ExpectStored("alpha\\beta", {{"NoTerminator", REG_SZ, "abc"},
                                 {"InnerZero", REG_SZ, Bytes("a\0b\0", 4)},
                                 {"LineBreak", REG_SZ, Bytes("a\nb\0", 4)},
                                 {"EmptySz", REG_SZ, ""},
                                 {"ShortDword", REG_DWORD, "\x01\x02"},
                                 {"Binary", REG_BINARY, long_binary},
                                 {"Odd", 0x12345, "\xff"},
                                 {"8bit", REG_SZ, Bytes("caf\xe9", 5)},
                                 {"Quote\"And\\Slash", REG_SZ, Bytes("text \"with\" \\ both", 19)},
                                 {"", REG_SZ, Bytes("default", 8)}});

    const std::string text = SimRegExportText();
    // Sorted case-insensitively, default value first, regedit's line length.
    EXPECT_LT(text.find("[HKEY_LOCAL_MACHINE\\alpha]"),
              text.find("[HKEY_LOCAL_MACHINE\\Slash/Name]"));
    EXPECT_LT(text.find("[HKEY_LOCAL_MACHINE\\Slash/Name]"),
              text.find("[HKEY_LOCAL_MACHINE\\Zeta]"));
    for (const char* line : {"[HKEY_LOCAL_MACHINE\\alpha\\Beta]\n@=\"default\"\n"
                             "\"8bit\"=\"caf\xe9\"\n\"Binary\"=hex:00,01,",
                             "\"Quote\\\"And\\\\Slash\"=\"text \\\"with\\\" \\\\ both\"\n",
                             "\"Dword\"=dword:deadbeef\n", "\"ShortDword\"=hex(4):01,02\n",
                             "\"NoTerminator\"=hex(1):61,62,63\n", "\"EmptySz\"=hex(1):\n",
                             "\"Odd\"=hex(12345):ff\n"}) {
        EXPECT_NE(std::string::npos, text.find(line)) << line;
    }
    for (size_t start = 0, end = 0; start < text.size(); start = end + 1) {
        end = text.find('\n', start);
        EXPECT_LE(end - start, 80u) << text.substr(start, end - start);
    }
}

// A registry of many keys survives saving and loading unchanged. How the
// time grows with the number of keys is measured by tools/benchmark.py.
TEST_F(SimRegistryTest, LargeRegistryRoundTrips) {
    const int keys = 5000;
    for (int i = 0; i < keys; ++i) {
        std::string path = "Software\\Vendor" + std::to_string(i % 97) + "\\Product" +
                           std::to_string(i % 1009) + "\\Key" + std::to_string(i);
        SimRegSetString(path, "Name", "value " + std::to_string(i));
    }
    const std::string text = SimSaveMachineText();
    std::string error;
    ASSERT_TRUE(SimLoadMachineText(text, &error)) << error;
    EXPECT_GT(SimRegKeyCount(), keys);
    EXPECT_EQ(text, SimSaveMachineText());
    SimReset();
}

} // namespace
