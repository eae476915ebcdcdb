// Scrambled text codec: turns bytes into printable scrambled text and back.
//
// Every byte is masked with a value that runs with its position, starting
// from a seed folded out of a key string, and the masked bytes are packed
// six bits per character into the 64 characters 0x26 ('&') to 0x65 ('e'),
// four characters for every three bytes. Key records are stored in the
// registry and sent to the driver only in this form.
#pragma once

// The key string that every caller passes to both routines.
extern const char g_ScrambleKey[];

// Scrambles `count` bytes from `bytes` into `text`.
// `key` is a key string of at least 12 characters; only its first 12 bytes
// are read. `text` receives ceil(4 * count / 3) characters and a terminating
// zero, and nothing beyond them; the caller's buffer must hold them all.
// A count of 0 or less writes only the terminator.
// Returns the number of characters written before the terminator. Never fails.
int ScrambleBytes(const char* key, char* text, const unsigned char* bytes, int count);

// Unscrambles the zero-terminated `text` into `bytes`.
// `key` is read as for ScrambleBytes. With L the length of `text`, writes
// exactly (3 * L) >> 2 bytes (unsigned 32-bit arithmetic) and no terminator;
// the caller's buffer must hold them. Any character is accepted and read by
// its value modulo 64, so one outside the alphabet reads as the alphabet
// character with the same value modulo 64.
// Returns the number of bytes written. Never fails.
int UnscrambleText(const char* key, unsigned char* bytes, const char* text);
