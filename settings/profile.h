// The card driver's profile settings under the adapter key, the fallback key
// and the client manager's presence.
#pragma once

constexpr int kSsidBufferSize = 64;

// Receives the network name when ReadDesiredSsid is given no buffer.
extern char g_SsidBuffer[kSsidBufferSize];

// Stores a scrambled key record text as "Encryption" of profile 0 to 4 (0 is
// the adapter key), and of the adapter key too when the profile is the active
// one. Returns 1 stored, 0 failed.
int WriteEncryption(const char* text, int profile);

// Replaces key 1 of the profile's stored key record with the five-character
// `keyText`, sets the enable flag and stores the record again. Returns 1 done,
// 0 failed (nothing is written when the stored record is missing or damaged).
int RekeyStoredRecord(const char* keyText, int profile);

// Scrambles a 76-byte key record and stores it in profile 1 of the adapter,
// or under the fallback key when no adapter is installed. Returns 1 or 0.
int StoreKeyRecord(const unsigned char* record);

// 1 when the adapter's settings record driver variant 1, version 6.14.
int CheckDriverVersion(void);

// 1 when the client manager is installed.
int IsClientManagerInstalled(void);

// Reads the network name of profile 0 to 4 into `buffer` (64 bytes) or, when
// none is given, into g_SsidBuffer; "XXXXXX" when it cannot be read. Returns
// the buffer.
char* ReadDesiredSsid(char* buffer, int profile);
