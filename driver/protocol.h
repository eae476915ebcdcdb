// Wire format of the exchange with the card driver: the device control call,
// the request block and the driver records it carries, command codes, record
// types and status values. The program, the simulated card driver and the
// tests all take these numbers from here, so they cannot drift apart.
//
// Request block (little-endian, fields back to back):
//   0  u32   context value, given by the driver's probe reply and carried in
//            every later request
//   4  u16   status, written by the driver in its reply (0 success)
//   6  u16   command
//   8  u16   record length in words, counting the type word (at most 4097)
//  10  u16   record type; in a control request, the control sub-code
//  12  8192  record data, up to 4096 words
// From offset 8 to its end the block holds exactly one driver record:
// {length, type, length - 1 data words}; a record of length L takes 2L + 2
// bytes, so the largest length fills the block to its last byte.
#pragma once

#include "keyrecord/keyrecord.h"

#include <windows.h>

// The control code of every exchange: the netcard "query global statistics"
// code, whose output buffer the driver may both read and write.
constexpr DWORD kDriverControlCode = 0x00170002u;
static_assert(kDriverControlCode ==
                  CTL_CODE(FILE_DEVICE_PHYSICAL_NETCARD, 0, METHOD_OUT_DIRECT, FILE_ANY_ACCESS),
              "control code");

// The 4-byte input of every exchange, bytes 01 04 02 FF in memory order.
constexpr DWORD kDriverInputValue = 0xFF020401u;
constexpr DWORD kDriverInputSize = 4;

// Request block layout.
constexpr int kContextOffset = 0;
constexpr int kStatusOffset = 4;
constexpr int kCommandOffset = 6;
constexpr int kRecordOffset = 8;
constexpr int kRecordLengthOffset = 8;
constexpr int kRecordTypeOffset = 10;
constexpr int kRecordDataOffset = 12;
constexpr int kRecordDataSize = 8192;
constexpr int kRequestBlockSize = 8204;
constexpr int kMaxRecordLength = 4097;
// Words of the largest record, the length word included.
constexpr int kMaxRecordWords = kMaxRecordLength + 1;

static_assert(kRequestBlockSize == kRecordDataOffset + kRecordDataSize, "block size");
static_assert(kRecordOffset + 2 * kMaxRecordWords == kRequestBlockSize,
              "the largest record fills the block exactly");

// Commands.
constexpr unsigned short kCommandProbe = 0;
constexpr unsigned short kCommandClose = 1;
constexpr unsigned short kCommandControl = 2;
constexpr unsigned short kCommandGetRecord = 4;
constexpr unsigned short kCommandPutRecord = 5;

// Control sub-codes the program lets through; it sends only kControlCommit.
constexpr unsigned short kControlEnable = 11;  // sets the control flag
constexpr unsigned short kControlDisable = 12; // clears it
constexpr unsigned short kControlCommit = 128; // follows a key text record
constexpr unsigned short kAcceptedControlCodes[] = {4, 6, kControlEnable, kControlDisable,
                                                    kControlCommit};

// Records, as arrays of 16-bit words {length, type, data...}. Data words are
// counted from 0, starting after the type word.
constexpr unsigned short kIdentityRecordType = 0x0826;
constexpr unsigned short kIdentityRecordLength = 5;
constexpr int kIdentityVariantWord = 1;
constexpr int kIdentityMajorWord = 2;
constexpr int kIdentityMinorWord = 3;

constexpr unsigned short kCompatibilityRecordType = 0x0827;
constexpr unsigned short kCompatibilityRecordLength = 6;
constexpr int kCompatibilityNumberWord = 2;
constexpr int kCompatibilityLowestWord = 3;
constexpr int kCompatibilityHighestWord = 4;

// Carries the 102 characters of a scrambled key record, two per word, the
// first character in the low byte.
constexpr unsigned short kKeyTextRecordType = 0x0900;
constexpr unsigned short kKeyTextRecordLength = 52;
constexpr int kKeyTextCharacters = 2 * (kKeyTextRecordLength - 1);
static_assert(kKeyTextCharacters == kKeyRecordTextLength, "one key record per key text record");

// Index of data word `n` in a record kept as an array of words.
constexpr int RecordDataWord(int n) {
    return 2 + n;
}

// Status values and the channel's own results. The driver writes the status;
// 66, 255 and 65 are results the program gives itself.
constexpr int kStatusSuccess = 0;
constexpr int kStatusPartial = 8; // get record: the reply was copied all the same
constexpr int kResultIncompatible = 65;
constexpr int kResultNoDevice = 66;    // also: the device control call failed
constexpr int kStatusBusy = 68;        // probe: try again later; also "already open"
constexpr int kStatusClosePreset = 69; // preset before a close, so silence shows
constexpr int kResultRefused = 255;

// Driver ids: the driver family that was opened.
constexpr unsigned int kDriverIdWin95 = 41;
constexpr unsigned int kDriverIdWin98 = 48;
constexpr unsigned int kDriverIdNt4 = 52;
constexpr unsigned int kDriverIdWin2000 = 48;
