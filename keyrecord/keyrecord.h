// Key record: the 76-byte plain record that carries the card's four WEP keys,
// its filling from the K command's arguments, the default key record that
// the K command starts from, and the edits the W command makes. The record's
// layout is known here only: the other layers go through these operations.
//
// Layout, all multi-byte fields little-endian:
//   0  32 bits  key record magic 0x514B716B (bytes "kqKQ")
//   4  16 bits  default key index, 0 to 3 for key slot 1 to 4
//   6  16 bits  enable flag, 1 in every record the program fills or edits
//   8  16 bits  embedded driver record length in words, counting its type word (33)
//  10  16 bits  embedded driver record type (0xFCB0)
//  12  4 x 16   key slots 1 to 4: 16-bit key length (0, 5 or 13), then 14 data bytes
// Offsets 8 to 75 form one driver record (length, type, 64 data bytes).
// The record leaves the program only as scrambled text (keyrecord/codec.h).
#pragma once

constexpr int kKeyRecordSize = 76;
// Characters of a key record's scrambled text, without the terminator.
constexpr int kKeyRecordTextLength = 102;

constexpr unsigned int kKeyRecordMagic = 0x514B716Bu;
constexpr int kKeyRecordMagicOffset = 0;
constexpr int kDefaultKeyIndexOffset = 4;
constexpr int kEnableFlagOffset = 6;
constexpr int kEmbeddedLengthOffset = 8;
constexpr unsigned short kEmbeddedLength = 33;
constexpr int kEmbeddedTypeOffset = 10;
constexpr unsigned short kEmbeddedType = 0xFCB0;

constexpr int kKeySlotCount = 4;
constexpr int kKeySlotSize = 16;
constexpr int kFirstKeySlotOffset = 12;
// Within a key slot: the 16-bit key length, then the key data bytes.
constexpr int kKeyLengthOffset = 0;
constexpr int kKeyDataOffset = 2;
constexpr int kKeyDataSize = 14;

// Characters of the W command's new first key: five hexadecimal digits.
constexpr int kPushKeyLength = 5;
static_assert(kPushKeyLength < kKeyDataSize, "a W key and its terminator fit in key 1");

// Offset in the record of key slot `slot`, 0 to 3 for key slots 1 to 4
// (12, 28, 44, 60).
constexpr int KeySlotOffset(int slot) {
    return kFirstKeySlotOffset + slot * kKeySlotSize;
}

// The K command's key record buffer; process-wide, lives for the run.
extern unsigned char g_KeyRecordBuffer[kKeyRecordSize];

// Scrambled text (kKeyRecordTextLength characters and a terminator) of the
// default key record: magic, default key index 0, enable flag 1, embedded
// record length 33 and type 0xFCB0, four empty key slots with all bytes zero.
extern const char g_DefaultKeyRecordText[];

// Fills `record` from the K command's argument vector `argv`: argv[2] is the
// default key number, exactly one character '1' to '4'; argv[3] to argv[6]
// are the key arguments for key slots 1 to 4. A key argument of 0 or 1
// characters leaves its slot empty; one of 5 or 13 characters is a text key
// stored byte for byte; one of 12 or 28 characters is "0x" or "0X" followed by
// 10 or 26 hexadecimal digits giving 5 or 13 key bytes. Sets the default key
// index, the enable flag (1) and all four slots, with every data byte after a
// key zero; never touches the magic or the embedded record length and type.
// Returns 1 when every argument was accepted, 0 when one was rejected. A bad
// default key number leaves the record unchanged; a bad key argument ends the
// work there, leaving earlier slots filled and the record not to be used.
int FillKeyRecord(char** argv, unsigned char* record);

// Converts `count` hexadecimal digits (either case) from `chars` into
// bytes in `out`, two digits per byte, the first digit of each pair being the
// high half. Returns 1 when all were converted, 0 at the first character that
// is not a hexadecimal digit (bytes before it may already be written). A count
// of 0 or less reads and writes nothing and returns 1; with an odd count the
// last digit is checked but stored nowhere.
int ParseHexKey(unsigned char* out, const char* chars, int count);

// 1 when `record` carries the key record magic.
int HasKeyRecordMagic(const unsigned char* record);

// Makes `record` a key record with no keys: every byte zero, then the magic,
// default key index 0, enable flag 1 and the embedded record's length and
// type.
void StartKeyRecord(unsigned char* record);

// Puts the W command's key into key slot 1: its characters (at most
// kPushKeyLength, none read past the text's end) and a terminating zero into
// the first kPushKeyLength + 1 data bytes, key length kPushKeyLength; sets
// the enable flag to 1. The slot's other data bytes, the default key index
// and key slots 2 to 4 stay as they are.
void SetFirstKey(unsigned char* record, const char* keyText);
