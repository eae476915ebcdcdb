// The card driver's profile settings: the scrambled key record ("Encryption")
// of the adapter key and of its profiles Config01 to Config04, the network
// name, the driver identity numbers, the fallback key used when no adapter is
// installed, and the client manager's presence. All keys lie under
// HKEY_LOCAL_MACHINE; the adapter key path is the one FindAdapter left.
#include "settings/profile.h"

#include "keyrecord/codec.h"
#include "keyrecord/keyrecord.h"
#include "runtime/text.h"
#include "runtime/version.h"
#include "settings/adapter.h"
#include "settings/registry.h"

#include <windows.h>

char g_SsidBuffer[kSsidBufferSize];

namespace {

const int kProfileKeySize = 256;
const int kSsidKeySize = 128;
const int kEncryptionTextSize = 256;

// Characters that "%s\Config%02d" adds to the adapter key path for profiles
// 1 to 4.
const int kProfileSuffixLength = 9;

const char kFallbackKey[] = "Software\\Corvane\\Driver";
const char kClientManagerKey[] = "Software\\Corvane\\Client Manager";
const char kNoSsid[] = "XXXXXX";

// Formats the key of profile 1 to 4 into `dest`. A path that would not fit
// fails instead of being cut short or overrunning `dest`.
int FormatProfileKey(char* dest, int destSize, int profile) {
    if (TextLength(g_AdapterKeyPath) + kProfileSuffixLength + 1 > destSize) {
        return 0;
    }
    wsprintfA(dest, "%s\\Config%02d", g_AdapterKeyPath, profile);
    return 1;
}

// A profile exists when its "ConfigName" can be read; the text is not used.
// The buffer takes every value the read accepts, so a long name counts too.
int ProfileExists(const char* profileKey) {
    char name[kRegStringBufferSize];
    return ReadRegString(HKEY_LOCAL_MACHINE, profileKey, "ConfigName", name, kRegStringBufferSize);
}

// Reads one identity number of the adapter key and compares it.
int IdentityIs(const char* name, int expected) {
    int value = 0;
    return ReadRegNumber(HKEY_LOCAL_MACHINE, g_AdapterKeyPath, name, &value) && value == expected;
}

} // namespace

int WriteEncryption(const char* text, int profile) {
    int active = 0;
    ReadRegNumber(HKEY_LOCAL_MACHINE, g_AdapterKeyPath, "ConfigType", &active);
    if (profile == 0) {
        return WriteRegString(HKEY_LOCAL_MACHINE, g_AdapterKeyPath, "Encryption", text);
    }
    char profileKey[kProfileKeySize];
    // The presence test first: the write would create a missing profile key.
    if (!FormatProfileKey(profileKey, kProfileKeySize, profile) || !ProfileExists(profileKey)) {
        return 0;
    }
    if (!WriteRegString(HKEY_LOCAL_MACHINE, profileKey, "Encryption", text)) {
        return 0;
    }
    // The active profile's record is also the adapter's own. A failure here
    // leaves the profile written: there is no undo.
    if (active == profile) {
        return WriteRegString(HKEY_LOCAL_MACHINE, g_AdapterKeyPath, "Encryption", text);
    }
    return 1;
}

int RekeyStoredRecord(const char* keyText, int profile) {
    char profileKey[kProfileKeySize];
    const char* source = g_AdapterKeyPath;
    if (profile != 0) {
        if (!FormatProfileKey(profileKey, kProfileKeySize, profile) || !ProfileExists(profileKey)) {
            return 0;
        }
        source = profileKey;
    }
    char text[kEncryptionTextSize];
    if (!ReadRegString(HKEY_LOCAL_MACHINE, source, "Encryption", text, kEncryptionTextSize) ||
        TextLength(text) != kKeyRecordTextLength) {
        return 0;
    }
    unsigned char record[kKeyRecordSize];
    UnscrambleText(g_ScrambleKey, record, text);
    if (!HasKeyRecordMagic(record)) {
        return 0;
    }
    // Key 1 gets the five characters and their terminator; its remaining
    // data bytes, the default key index and keys 2 to 4 stay as stored.
    SetFirstKey(record, keyText);
    char newText[kEncryptionTextSize];
    ScrambleBytes(g_ScrambleKey, newText, record, kKeyRecordSize);
    return WriteEncryption(newText, profile);
}

int StoreKeyRecord(const unsigned char* record) {
    char text[kEncryptionTextSize];
    ScrambleBytes(g_ScrambleKey, text, record, kKeyRecordSize);
    if (FindAdapter(g_CardIdTable)) {
        return WriteEncryption(text, 1);
    }
    return WriteRegString(HKEY_LOCAL_MACHINE, kFallbackKey, "Encryption", text);
}

int CheckDriverVersion(void) {
    // In this order, stopping at the first value missing or different.
    return IdentityIs("DriverVariant", RCK_VARIANT) &&
           IdentityIs("DriverMajor", RCK_VERSION_MAJOR) &&
           IdentityIs("DriverMinor", RCK_VERSION_MINOR);
}

int IsClientManagerInstalled(void) {
    // Only presence counts: the buffer takes every value the read accepts.
    char version[kRegStringBufferSize];
    return ReadRegString(HKEY_LOCAL_MACHINE, kClientManagerKey, "version", version,
                         kRegStringBufferSize);
}

char* ReadDesiredSsid(char* buffer, int profile) {
    char profileKey[kSsidKeySize];
    const char* source = g_AdapterKeyPath;
    int keyFits = 1;
    if (profile != 0) {
        keyFits = FormatProfileKey(profileKey, kSsidKeySize, profile);
        source = profileKey;
    }
    char* dest = buffer != nullptr ? buffer : g_SsidBuffer;
    CopyText(dest, kSsidBufferSize, kNoSsid);
    // A name of more than 63 characters is refused, not cut; bytes after the
    // name's terminating zero do not count.
    if (keyFits) {
        ReadRegString(HKEY_LOCAL_MACHINE, source, "DesiredSSID", dest, kSsidBufferSize);
    }
    return dest;
}
