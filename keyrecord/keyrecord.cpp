// Key record filling from the K command's arguments, hexadecimal key
// conversion and the default key record; see keyrecord.h.
#include "keyrecord/keyrecord.h"

#include "keyrecord/codec.h"
#include "runtime/text.h"

unsigned char g_KeyRecordBuffer[kKeyRecordSize];

// Produced by ScrambleBytes with g_ScrambleKey from the record described in
// keyrecord.h; the unit tests unscramble it and check every field. Regenerate
// it the same way rather than editing characters.
const char g_DefaultKeyRecordText[] =
    "6[GGDHVS1Xb72>153):\\3YF_4IRb59^e6*+(6Z7+7JC.8:O19*[49['7:K3:;;?=<+K@<[WC="
    "KcF></I?,;L?\\GO@LSRA<_UB-+XBV";

static_assert(sizeof(g_DefaultKeyRecordText) == kKeyRecordTextLength + 1,
              "the default key record text must hold one whole key record");

namespace {

// Longest key argument of any accepted class (a 13-byte key in hexadecimal).
const int kLongestKeyArgument = 28;

// Fills one key slot from one key argument. Returns 1 accepted, 0 rejected.
int FillKeySlot(unsigned char* slot, const char* argument) {
    unsigned char* data = slot + kKeyDataOffset;
    FillBytes(data, 0, kKeyDataSize);
    // Anything longer than the longest class is rejected, so the length is
    // only counted that far.
    const int length = BoundedTextLength(argument, kLongestKeyArgument + 1);
    switch (length) {
    case 0:
    case 1:
        // Marks the slot empty; a single character is not stored.
        PutWord16(slot + kKeyLengthOffset, 0);
        return 1;
    case 5:
    case 13:
        CopyBytes(data, argument, length);
        PutWord16(slot + kKeyLengthOffset, static_cast<unsigned short>(length));
        return 1;
    case 12:
    case 28:
        if (argument[0] != '0' || (argument[1] != 'x' && argument[1] != 'X')) {
            return 0;
        }
        if (!ParseHexKey(data, argument + 2, length - 2)) {
            return 0;
        }
        PutWord16(slot + kKeyLengthOffset, static_cast<unsigned short>((length - 2) / 2));
        return 1;
    default:
        return 0;
    }
}

} // namespace

int FillKeyRecord(char** argv, unsigned char* record) {
    const char* number = argv[2];
    if (number[0] < '1' || number[0] > '4' || number[1] != '\0') {
        return 0;
    }
    PutWord16(record + kDefaultKeyIndexOffset, static_cast<unsigned short>(number[0] - '1'));
    PutWord16(record + kEnableFlagOffset, 1);
    for (int slot = 0; slot < kKeySlotCount; ++slot) {
        if (!FillKeySlot(record + KeySlotOffset(slot), argv[3 + slot])) {
            return 0;
        }
    }
    return 1;
}

int ParseHexKey(unsigned char* out, const char* chars, int count) {
    int high = 0;
    for (int i = 0; i < count; ++i) {
        const int digit = HexDigitValue(chars[i]);
        if (digit < 0) {
            return 0;
        }
        if (i % 2 == 0) {
            high = digit;
        } else {
            out[i / 2] = static_cast<unsigned char>(high * 16 + digit);
        }
    }
    return 1;
}

int HasKeyRecordMagic(const unsigned char* record) {
    return GetWord32(record + kKeyRecordMagicOffset) == kKeyRecordMagic;
}

void StartKeyRecord(unsigned char* record) {
    FillBytes(record, 0, kKeyRecordSize);
    PutWord32(record + kKeyRecordMagicOffset, kKeyRecordMagic);
    PutWord16(record + kDefaultKeyIndexOffset, 0);
    PutWord16(record + kEnableFlagOffset, 1);
    PutWord16(record + kEmbeddedLengthOffset, kEmbeddedLength);
    PutWord16(record + kEmbeddedTypeOffset, kEmbeddedType);
}

void SetFirstKey(unsigned char* record, const char* keyText) {
    unsigned char* slot = record + KeySlotOffset(0);
    unsigned char* data = slot + kKeyDataOffset;
    FillBytes(data, 0, kPushKeyLength + 1);
    CopyBytes(data, keyText, BoundedTextLength(keyText, kPushKeyLength));
    PutWord16(slot + kKeyLengthOffset, kPushKeyLength);
    PutWord16(record + kEnableFlagOffset, 1);
}
