// Typed access to single registry values. The only code that calls the
// platform's registry functions; each call opens and closes its own key.
#pragma once

#include <windows.h>

// Largest value ReadRegString accepts: 258 characters and a terminator.
constexpr int kRegStringLimit = 259;
// A destination of this size takes every value ReadRegString accepts, a
// terminator it adds included.
constexpr int kRegStringBufferSize = kRegStringLimit + 1;
// Largest value ReadRegNumber accepts: a 31-character decimal text and a terminator.
constexpr int kRegNumberLimit = 32;

// Stores `text` with its terminator as a REG_SZ value, creating the key and
// any missing keys above it. Returns 1 when stored, 0 on any failure.
int WriteRegString(HKEY root, const char* subkey, const char* name, const char* text);

// Copies a value of at most 259 bytes into `dest` (destSize bytes) as a
// terminated text; data without a terminator gets one. Data longer than
// `dest` is cut to it, which is accepted as long as its text, up to the first
// zero byte, and that zero fit. Returns 1 on success; 0 when the key or value
// is missing, the value exceeds 259 bytes or its text does not fit in `dest`,
// in which case `dest` is left as it was.
int ReadRegString(HKEY root, const char* subkey, const char* name, char* dest, int destSize);

// Reads a value of at most 32 bytes as a number: REG_SZ data by decimal
// conversion, any other type as its first four bytes, least significant
// first (fewer bytes are zero-extended). Returns 1 on success; on failure
// returns 0 and leaves `number` as it was.
int ReadRegNumber(HKEY root, const char* subkey, const char* name, int* number);
