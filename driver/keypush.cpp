// Pushing a new first key into the running card driver; see keypush.h.
#include "driver/keypush.h"

#include "driver/channel.h"
#include "driver/discovery.h"
#include "keyrecord/codec.h"
#include "keyrecord/keyrecord.h"
#include "runtime/version.h"

namespace {

// The identity the program is built for, which V prints and the adapter's
// settings must record too.
const unsigned short kExpectedVariant = RCK_VARIANT;
const unsigned short kExpectedMajor = RCK_VERSION_MAJOR;
const unsigned short kExpectedMinor = RCK_VERSION_MINOR;

unsigned short g_IdentityRecord[kIdentityRecordLength + 1];
unsigned char g_FreshKeyRecord[kKeyRecordSize];
char g_KeyText[kKeyRecordTextLength + 1];
unsigned short g_KeyTextRecord[kKeyTextRecordLength + 1];

int IdentityMatches() {
    for (unsigned short& word : g_IdentityRecord) {
        word = 0;
    }
    g_IdentityRecord[0] = kIdentityRecordLength;
    g_IdentityRecord[1] = kIdentityRecordType;
    // A reply that was not read leaves the words 0, which no identity matches.
    GetDriverRecord(g_IdentityRecord);
    return g_IdentityRecord[RecordDataWord(kIdentityVariantWord)] == kExpectedVariant &&
           g_IdentityRecord[RecordDataWord(kIdentityMajorWord)] == kExpectedMajor &&
           g_IdentityRecord[RecordDataWord(kIdentityMinorWord)] == kExpectedMinor;
}

// Key 1 holds the key text and its terminating zero; every other byte of the
// record that is not set by StartKeyRecord is zero, so keys 2 to 4 are empty.
void BuildFreshKeyRecord(const char* keyText) {
    StartKeyRecord(g_FreshKeyRecord);
    SetFirstKey(g_FreshKeyRecord, keyText);
}

void BuildKeyTextRecord() {
    g_KeyTextRecord[0] = kKeyTextRecordLength;
    g_KeyTextRecord[1] = kKeyTextRecordType;
    for (int i = 0; i < kKeyTextRecordLength - 1; ++i) {
        unsigned char low = static_cast<unsigned char>(g_KeyText[2 * i]);
        unsigned char high = static_cast<unsigned char>(g_KeyText[2 * i + 1]);
        g_KeyTextRecord[RecordDataWord(i)] = static_cast<unsigned short>(low | (high << 8));
    }
}

} // namespace

PushOutcome PushKeyToDriver(const char* keyText) {
    if (OpenDriverDevice("KRV") != kStatusSuccess) {
        return kPushNoDevice;
    }
    if (!IdentityMatches()) {
        EndDriverDevice();
        return kPushWrongDriver;
    }
    BuildFreshKeyRecord(keyText);
    ScrambleBytes(g_ScrambleKey, g_KeyText, g_FreshKeyRecord, kKeyRecordSize);
    BuildKeyTextRecord();
    // A driver that refuses the key or its commit does not hold the new key,
    // and the stored record must then not be changed either.
    int result = PutDriverRecord(g_KeyTextRecord);
    if (result == kStatusSuccess) {
        result = ControlDriver(kControlCommit);
    }
    EndDriverDevice();
    return result == kStatusSuccess ? kPushed : kPushNoDevice;
}
