// Text and byte helpers shared by the whole program.
//
// The shipped executable links no C runtime, so the few string and memory
// operations the program needs live here. All of them work on caller-owned
// buffers, never allocate, and treat text as 8-bit bytes.
#pragma once

// Length of a zero-terminated text, not counting the terminator.
int TextLength(const char* text);

// Length of a text, but reads at most `limit` bytes; returns `limit` when no
// terminator was found among them.
int BoundedTextLength(const char* text, int limit);

// Copies `text` with its terminator into `dest`, which holds `destSize` bytes.
// Returns 1 when the whole text fitted; otherwise writes nothing and returns 0.
int CopyText(char* dest, int destSize, const char* text);

// Copies as much of `text` as fits into `dest` (at most destSize - 1
// characters) and always terminates it. Returns the number of characters
// copied. Does nothing when destSize is 0 or less.
int CopyTextCut(char* dest, int destSize, const char* text);

// Appends `text` to the zero-terminated text in `dest`. Returns 1 when it fits
// in destSize bytes with its terminator; otherwise leaves `dest` unchanged
// and returns 0.
int AppendText(char* dest, int destSize, const char* text);

// 1 when both texts are equal byte for byte (case-sensitive).
int TextEqual(const char* a, const char* b);

void CopyBytes(void* dest, const void* src, int count);
void FillBytes(void* dest, unsigned char value, int count);

// Character classification and lower-casing in the default ("C") locale.
int IsSpaceChar(char c);
int IsDigitChar(char c);
int IsHexDigitChar(char c);
// Value 0 to 15 of a hexadecimal digit of either case, or -1.
int HexDigitValue(char c);
char ToLowerChar(char c);

// Decimal conversion: skips leading white space, takes one optional sign and
// the digits up to the first other character. A text without digits gives 0.
// Values beyond the signed 32-bit range saturate at its bounds.
int ParseDecimal(const char* text);

// Little-endian field access in byte records.
unsigned short GetWord16(const unsigned char* p);
unsigned int GetWord32(const unsigned char* p);
void PutWord16(unsigned char* p, unsigned short value);
void PutWord32(unsigned char* p, unsigned int value);
