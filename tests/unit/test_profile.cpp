// Tests of the driver profile settings: where and in which order
// "Encryption" is written, the active profile's second write, the fallback
// key, the stored record edited by a new first key, the driver identity
// check, the client manager test and the network name, with over-long values
// and failing calls.
#include "settings/profile.h"

#include "keyrecord/codec.h"
#include "keyrecord/keyrecord.h"
#include "runtime/text.h"
#include "settings/adapter.h"
#include "settings/platform.h"
#include "simwin/simctl.h"
#include "simwin/simctl_registry.h"
#include "tests/unit/call_log.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

// The root key as the call log names it, before a key's path.
const std::string kRoot = "HKEY_LOCAL_MACHINE\\";
const std::string kAdapter = "System\\CurrentControlSet\\Control\\Class\\{4D36E972}\\0007";
const std::string kEnum =
    "System\\CurrentControlSet\\Enum\\PCMCIA\\KESTRAN_INSTRUMENTS-AIRLOOM/IEEE-4E21\\1";
const std::string kFallback = "Software\\Corvane\\Driver";
const std::string kManager = "Software\\Corvane\\Client Manager";

std::string Profile(int n) {
    return kAdapter + "\\Config0" + std::to_string(n);
}

// A key record with the given default key index and enable flag, and keys
// whose bytes run from `fill` on, so that every byte is recognisable.
Bytes Record(int defaultIndex, int enable, unsigned char fill = 0x40) {
    Bytes r(kKeyRecordSize);
    for (int i = 0; i < kKeyRecordSize; ++i) {
        r[i] = static_cast<unsigned char>(fill + i);
    }
    PutWord32(&r[kKeyRecordMagicOffset], kKeyRecordMagic);
    PutWord16(&r[kDefaultKeyIndexOffset], static_cast<unsigned short>(defaultIndex));
    PutWord16(&r[kEnableFlagOffset], static_cast<unsigned short>(enable));
    PutWord16(&r[kEmbeddedLengthOffset], kEmbeddedLength);
    PutWord16(&r[kEmbeddedTypeOffset], kEmbeddedType);
    for (int slot = 0; slot < kKeySlotCount; ++slot) {
        PutWord16(&r[KeySlotOffset(slot)], 13);
    }
    return r;
}

std::string Scramble(const Bytes& record) {
    char text[256];
    ScrambleBytes(g_ScrambleKey, text, record.data(), static_cast<int>(record.size()));
    return text;
}

Bytes Unscramble(const std::string& text) {
    Bytes out(text.size());
    out.resize(UnscrambleText(g_ScrambleKey, out.data(), text.c_str()));
    return out;
}

// The text of a REG_SZ value without its terminator; "(none)" when missing.
std::string Value(const std::string& key, const char* name) {
    DWORD type = 0;
    std::string data;
    if (!SimRegGetValue(key, name, &type, &data)) {
        return "(none)";
    }
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), type);
    EXPECT_FALSE(data.empty());
    EXPECT_EQ('\0', data.back());
    return data.substr(0, data.size() - 1);
}

class ProfileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        SimReset();
        g_OsFamily = kOsFamilyWin2000;
        CopyText(g_AdapterKeyPath, kAdapterKeyPathSize, kAdapter.c_str());
        SimRegSetString(kAdapter, "VendorDescription", "CORVANE PC Card");
        text_ = Scramble(Record(0, 1));
    }
    void TearDown() override { EXPECT_EQ(0, SimOpenKeyCount()) << "a key was left open"; }

    static void MakeProfile(int n, const std::string& encryption = "") {
        SimRegSetString(Profile(n), "ConfigName", "Profile " + std::to_string(n));
        if (!encryption.empty()) {
            SimRegSetString(Profile(n), "Encryption", encryption);
        }
    }
    static void Installed() { SimRegSetString(kEnum, "Driver", "{4D36E972}\\0007"); }

    std::string text_;
};

TEST_F(ProfileTest, ActiveProfileIsWrittenFirstThenTheAdapter) {
    MakeProfile(2);
    SimRegSetString(kAdapter, "ConfigType", "2");
    SimClearCallLog();
    EXPECT_EQ(1, WriteEncryption(text_.c_str(), 2));
    EXPECT_EQ(text_, Value(Profile(2), "Encryption"));
    EXPECT_EQ(text_, Value(kAdapter, "Encryption"));
    EXPECT_EQ((std::vector<std::string>{kRoot + Profile(2), kRoot + kAdapter}),
              KeysOpened("RegCreateKeyExA"));
    // ConfigType is read first, then the profile's presence.
    ASSERT_GE(SimCallLog().size(), 5u);
    EXPECT_EQ("RegQueryValueExA 0x1000 \"ConfigType\" size=32 data=yes", SimCallLog()[1]);
    EXPECT_EQ("RegQueryValueExA 0x1004 \"ConfigName\" size=259 data=yes", SimCallLog()[4]);
}

TEST_F(ProfileTest, InactiveProfileLeavesTheAdapterAlone) {
    for (const char* type : std::vector<const char*>{"1", "0", "", "3", nullptr}) {
        SimReset();
        CopyText(g_AdapterKeyPath, kAdapterKeyPathSize, kAdapter.c_str());
        MakeProfile(2);
        if (type != nullptr) {
            SimRegSetString(kAdapter, "ConfigType", type);
        }
        EXPECT_EQ(1, WriteEncryption(text_.c_str(), 2));
        EXPECT_EQ(text_, Value(Profile(2), "Encryption"));
        EXPECT_EQ("(none)", Value(kAdapter, "Encryption")) << (type ? type : "missing");
    }
    // The active profile may be stored as a number too.
    SimRegSetDword(kAdapter, "ConfigType", 2);
    EXPECT_EQ(1, WriteEncryption(text_.c_str(), 2));
    EXPECT_EQ(text_, Value(kAdapter, "Encryption"));
}

TEST_F(ProfileTest, ProfileZeroWritesOnlyTheAdapter) {
    SimRegSetString(kAdapter, "ConfigType", "0");
    SimClearCallLog();
    EXPECT_EQ(1, WriteEncryption(text_.c_str(), 0));
    EXPECT_EQ(text_, Value(kAdapter, "Encryption"));
    EXPECT_EQ(std::vector<std::string>{kRoot + kAdapter}, KeysOpened("RegCreateKeyExA"));
    EXPECT_FALSE(SimRegKeyExists(Profile(1)));
}

TEST_F(ProfileTest, MissingProfileIsNeitherWrittenNorCreated) {
    SimRegSetString(kAdapter, "ConfigType", "3");
    EXPECT_EQ(0, WriteEncryption(text_.c_str(), 3));
    EXPECT_FALSE(SimRegKeyExists(Profile(3)));
    SimRegSetString(Profile(3), "DesiredSSID", "no name");
    EXPECT_EQ(0, WriteEncryption(text_.c_str(), 3));
    // A name longer than any the read accepts fails the presence test; every
    // shorter one passes it, however long.
    SimRegSetString(Profile(3), "ConfigName", std::string(259, 'n'));
    EXPECT_EQ(0, WriteEncryption(text_.c_str(), 3));
    EXPECT_EQ("(none)", Value(Profile(3), "Encryption"));
    EXPECT_EQ("(none)", Value(kAdapter, "Encryption"));
    SimRegSetString(Profile(3), "ConfigName", std::string(258, 'n'));
    EXPECT_EQ(1, WriteEncryption(text_.c_str(), 3));
    SimRegSetValue(Profile(3), "ConfigName", REG_SZ, std::string(259, 'n'));
    EXPECT_EQ(1, WriteEncryption(text_.c_str(), 3)) << "259 bytes without a terminator";
}

TEST_F(ProfileTest, FailedWritesStopWhereTheyHappen) {
    MakeProfile(1);
    SimRegSetString(kAdapter, "ConfigType", "1");
    SimFailCall("RegSetValueExA", 1, ERROR_CANTWRITE);
    EXPECT_EQ(0, WriteEncryption(text_.c_str(), 1));
    EXPECT_EQ("(none)", Value(Profile(1), "Encryption"));
    EXPECT_EQ("(none)", Value(kAdapter, "Encryption")) << "the adapter is not touched";
    EXPECT_EQ(1, SimCallCount("RegSetValueExA"));

    SimClearFaults();
    SimClearCallLog();
    SimFailCall("RegSetValueExA", 2, ERROR_CANTWRITE);
    EXPECT_EQ(0, WriteEncryption(text_.c_str(), 1));
    EXPECT_EQ(text_, Value(Profile(1), "Encryption")) << "no undo";
    EXPECT_EQ("(none)", Value(kAdapter, "Encryption"));

    // Unreadable ConfigType counts as 0.
    SimClearFaults();
    SimClearCallLog();
    SimFailCall("RegQueryValueExA", 1, ERROR_GEN_FAILURE);
    EXPECT_EQ(1, WriteEncryption(text_.c_str(), 1));
    EXPECT_EQ(1, SimCallCount("RegSetValueExA"));
}

TEST_F(ProfileTest, RekeyReplacesKeyOneAndKeepsTheRest) {
    const Bytes stored = Record(3, 0);
    MakeProfile(2, Scramble(stored));
    SimRegSetString(kAdapter, "ConfigType", "1");
    SimRegSetString(kAdapter, "Encryption", "adapter text");
    EXPECT_EQ(1, RekeyStoredRecord("0a1b2", 2));
    Bytes expected = stored;
    PutWord16(&expected[kEnableFlagOffset], 1);
    PutWord16(&expected[KeySlotOffset(0)], 5);
    std::memcpy(&expected[KeySlotOffset(0) + kKeyDataOffset], "0a1b2", 6);
    const std::string after = Value(Profile(2), "Encryption");
    EXPECT_EQ(static_cast<size_t>(kKeyRecordTextLength), after.size());
    EXPECT_EQ(expected, Unscramble(after));
    EXPECT_EQ(3, GetWord16(&Unscramble(after)[kDefaultKeyIndexOffset]));
    EXPECT_EQ("adapter text", Value(kAdapter, "Encryption"));
}

TEST_F(ProfileTest, RekeyOfTheActiveProfileCopiesItToTheAdapter) {
    MakeProfile(4, Scramble(Record(1, 1, 0x10)));
    SimRegSetString(kAdapter, "Encryption", Scramble(Record(2, 1, 0x90)));
    SimRegSetString(kAdapter, "ConfigType", "4");
    EXPECT_EQ(1, RekeyStoredRecord("fffff", 4));
    const std::string profile = Value(Profile(4), "Encryption");
    EXPECT_EQ(profile, Value(kAdapter, "Encryption")) << "the profile's record, not the adapter's";
    EXPECT_EQ(1, GetWord16(&Unscramble(profile)[kDefaultKeyIndexOffset]));
}

TEST_F(ProfileTest, RekeyOfProfileZeroUsesTheAdapterKey) {
    SimRegSetString(kAdapter, "Encryption", Scramble(Record(2, 0)));
    EXPECT_EQ(1, RekeyStoredRecord("12345", 0));
    const Bytes after = Unscramble(Value(kAdapter, "Encryption"));
    EXPECT_EQ(5, GetWord16(&after[KeySlotOffset(0)]));
    EXPECT_EQ(0, std::memcmp("12345", &after[KeySlotOffset(0) + kKeyDataOffset], 6));
    EXPECT_FALSE(SimRegKeyExists(Profile(1)));
}

TEST_F(ProfileTest, RekeyRefusesABadStoredRecordWithoutWriting) {
    Bytes wrongMagic = Record(0, 1);
    PutWord32(&wrongMagic[kKeyRecordMagicOffset], kKeyRecordMagic ^ 1);
    const std::string good = Scramble(Record(0, 1));
    const std::string cases[] = {
        good.substr(0, 101),
        good + "&",
        Scramble(wrongMagic),
        good + std::string(200, '&'),
    };
    for (const std::string& stored : cases) {
        SimReset();
        CopyText(g_AdapterKeyPath, kAdapterKeyPathSize, kAdapter.c_str());
        MakeProfile(1, stored);
        SimClearCallLog();
        EXPECT_EQ(0, RekeyStoredRecord("abcde", 1)) << stored.size();
        EXPECT_EQ(0, SimCallCount("RegCreateKeyExA"));
        EXPECT_EQ(stored, Value(Profile(1), "Encryption"));
    }
    SimReset();
    CopyText(g_AdapterKeyPath, kAdapterKeyPathSize, kAdapter.c_str());
    MakeProfile(1);
    EXPECT_EQ(0, RekeyStoredRecord("abcde", 1)) << "no stored record";
    SimRegSetString(Profile(2), "Encryption", good);
    EXPECT_EQ(0, RekeyStoredRecord("abcde", 2)) << "no ConfigName";
    EXPECT_EQ(0, RekeyStoredRecord("abcde", 0)) << "nothing in the adapter key";
    EXPECT_EQ(0, SimCallCount("RegCreateKeyExA"));
}

TEST_F(ProfileTest, StoreKeyRecordWritesProfileOneOfTheAdapter) {
    Installed();
    MakeProfile(1);
    SimRegSetString(kAdapter, "ConfigType", "1");
    CopyText(g_AdapterKeyPath, kAdapterKeyPathSize, "stale");
    const Bytes record = Record(2, 1);
    EXPECT_EQ(1, StoreKeyRecord(record.data()));
    EXPECT_EQ(kAdapter, g_AdapterKeyPath) << "StoreKeyRecord finds the adapter itself";
    EXPECT_EQ(Scramble(record), Value(Profile(1), "Encryption"));
    EXPECT_EQ(Scramble(record), Value(kAdapter, "Encryption"));
    EXPECT_FALSE(SimRegKeyExists(kFallback));
}

TEST_F(ProfileTest, StoreKeyRecordWithoutProfileOneFails) {
    Installed();
    const Bytes record = Record(1, 1);
    EXPECT_EQ(0, StoreKeyRecord(record.data()));
    EXPECT_FALSE(SimRegKeyExists(kFallback));
    EXPECT_FALSE(SimRegKeyExists(Profile(1)));
}

TEST_F(ProfileTest, StoreKeyRecordWithoutAdapterUsesTheFallbackKey) {
    const Bytes record = Record(3, 1);
    EXPECT_EQ(1, StoreKeyRecord(record.data()));
    EXPECT_EQ(Scramble(record), Value(kFallback, "Encryption"));
    EXPECT_EQ("(none)", Value(kAdapter, "Encryption"));
    // On an unidentified Windows family too.
    SimReset();
    g_OsFamily = kOsFamilyUnknown;
    Installed();
    EXPECT_EQ(1, StoreKeyRecord(record.data()));
    EXPECT_EQ(Scramble(record), Value(kFallback, "Encryption"));
    SimFailCall("RegSetValueExA", 0, ERROR_CANTWRITE);
    EXPECT_EQ(0, StoreKeyRecord(record.data()));
}

TEST_F(ProfileTest, DriverVersionIsReadInOrderAndMustMatch) {
    SimRegSetString(kAdapter, "DriverVariant", "1");
    SimRegSetDword(kAdapter, "DriverMajor", 6);
    SimRegSetString(kAdapter, "DriverMinor", "14");
    SimClearCallLog();
    EXPECT_EQ(1, CheckDriverVersion());
    std::vector<std::string> queries;
    for (const std::string& call : Calls("RegQueryValueExA")) {
        queries.push_back(call.substr(call.find('"')));
    }
    EXPECT_EQ((std::vector<std::string>{"\"DriverVariant\" size=32 data=yes",
                                        "\"DriverMajor\" size=32 data=yes",
                                        "\"DriverMinor\" size=32 data=yes"}),
              queries);
    SimRegSetString(kAdapter, "DriverMajor", "6");
    EXPECT_EQ(1, CheckDriverVersion());
    SimRegSetString(kAdapter, "DriverMinor", "15");
    EXPECT_EQ(0, CheckDriverVersion());
    SimRegSetString(kAdapter, "DriverMinor", "14");
    SimRegSetString(kAdapter, "DriverMajor", "7");
    SimClearCallLog();
    EXPECT_EQ(0, CheckDriverVersion());
    EXPECT_EQ(2, SimCallCount("RegQueryValueExA")) << "stops at the first mismatch";
    SimRegSetValue(kAdapter, "DriverVariant", REG_BINARY, "");
    SimRegSetString(kAdapter, "DriverMajor", "6");
    SimClearCallLog();
    EXPECT_EQ(0, CheckDriverVersion()) << "an empty value reads as 0";
    EXPECT_EQ(1, SimCallCount("RegQueryValueExA"));
}

TEST_F(ProfileTest, DriverVariantMissingFails) {
    SimRegSetString(kAdapter, "DriverMajor", "6");
    SimRegSetString(kAdapter, "DriverMinor", "14");
    SimClearCallLog();
    EXPECT_EQ(0, CheckDriverVersion());
    EXPECT_EQ(1, SimCallCount("RegQueryValueExA"));
}

TEST_F(ProfileTest, ClientManagerNeedsItsVersionValue) {
    EXPECT_EQ(0, IsClientManagerInstalled());
    SimRegCreateKey(kManager);
    EXPECT_EQ(0, IsClientManagerInstalled());
    SimRegSetString(kManager, "version", "");
    EXPECT_EQ(1, IsClientManagerInstalled());
    SimRegSetString(kManager, "version", std::string(127, 'v'));
    EXPECT_EQ(1, IsClientManagerInstalled());
    SimRegSetString(kManager, "version", std::string(258, 'v'));
    EXPECT_EQ(1, IsClientManagerInstalled()) << "any length the read accepts";
    SimRegSetValue(kManager, "version", REG_SZ, std::string(259, 'v'));
    EXPECT_EQ(1, IsClientManagerInstalled()) << "259 bytes without a terminator";
    SimRegSetString(kManager, "version", std::string(259, 'v'));
    EXPECT_EQ(0, IsClientManagerInstalled()) << "more than the read accepts";
}

TEST_F(ProfileTest, DesiredSsidOrXXXXXX) {
    SimRegSetString(kAdapter, "DesiredSSID", "adapter-net");
    SimRegSetString(Profile(1), "DesiredSSID", "office-net");
    EXPECT_STREQ("office-net", ReadDesiredSsid(nullptr, 1));
    EXPECT_EQ(g_SsidBuffer, ReadDesiredSsid(nullptr, 1));
    EXPECT_STREQ("adapter-net", ReadDesiredSsid(nullptr, 0));
    EXPECT_STREQ("XXXXXX", ReadDesiredSsid(nullptr, 4));
    EXPECT_FALSE(SimRegKeyExists(Profile(4)));

    char own[kSsidBufferSize + 4];
    std::memset(own, '#', sizeof own);
    EXPECT_EQ(own, ReadDesiredSsid(own, 1));
    EXPECT_STREQ("office-net", own);

    SimRegSetString(Profile(2), "DesiredSSID", std::string(63, 's'));
    EXPECT_EQ(std::string(63, 's'), ReadDesiredSsid(nullptr, 2));
    SimRegSetString(Profile(2), "DesiredSSID", std::string(64, 's'));
    std::memset(own, '#', sizeof own);
    EXPECT_STREQ("XXXXXX", ReadDesiredSsid(own, 2)) << "a name too long is refused, not cut";
    EXPECT_EQ(std::string(4, '#'), std::string(own + kSsidBufferSize, 4));
    SimRegSetValue(Profile(3), "DesiredSSID", REG_SZ, "bare");
    EXPECT_STREQ("bare", ReadDesiredSsid(nullptr, 3));

    // The name is judged up to its terminating zero, not by the size of the
    // value: bytes after the zero do not make a short name too long.
    const std::string tail = std::string(1, '\0') + std::string(100, 't');
    SimRegSetValue(Profile(3), "DesiredSSID", REG_SZ, std::string(62, 'u') + tail);
    std::memset(own, '#', sizeof own);
    EXPECT_EQ(std::string(62, 'u'), ReadDesiredSsid(own, 3));
    EXPECT_EQ(std::string(4, '#'), std::string(own + kSsidBufferSize, 4));
    SimRegSetValue(Profile(3), "DesiredSSID", REG_SZ, std::string(64, 'u') + tail);
    EXPECT_STREQ("XXXXXX", ReadDesiredSsid(own, 3));
    EXPECT_EQ(std::string(4, '#'), std::string(own + kSsidBufferSize, 4));
}

// The profile key of ReadDesiredSsid has 128 bytes: an adapter key path of
// more than 118 characters leaves no room for "\ConfigNN".
TEST_F(ProfileTest, ProfileKeyThatDoesNotFitFailsTheOperation) {
    const std::string fits = "S\\" + std::string(116, 'p');
    const std::string tooLong = "S\\" + std::string(117, 'p');
    SimRegSetString(fits + "\\Config01", "DesiredSSID", "near");
    SimRegSetString(tooLong + "\\Config01", "DesiredSSID", "far");
    SimRegSetString(tooLong, "DesiredSSID", "self");
    CopyText(g_AdapterKeyPath, kAdapterKeyPathSize, fits.c_str());
    EXPECT_STREQ("near", ReadDesiredSsid(nullptr, 1));
    CopyText(g_AdapterKeyPath, kAdapterKeyPathSize, tooLong.c_str());
    SimClearCallLog();
    EXPECT_STREQ("XXXXXX", ReadDesiredSsid(nullptr, 1));
    EXPECT_TRUE(SimCallLog().empty());
    EXPECT_STREQ("self", ReadDesiredSsid(nullptr, 0));
    // The 256-byte profile key of the other operations holds any adapter path.
    const std::string longest = "S\\" + std::string(125, 'p');
    CopyText(g_AdapterKeyPath, kAdapterKeyPathSize, longest.c_str());
    SimRegSetString(longest + "\\Config02", "ConfigName", "x");
    EXPECT_EQ(1, WriteEncryption(text_.c_str(), 2));
    EXPECT_EQ(text_, Value(longest + "\\Config02", "Encryption"));
}

} // namespace
