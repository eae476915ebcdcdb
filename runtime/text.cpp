// Text and byte helpers; see text.h.
#include "runtime/text.h"

int TextLength(const char* text) {
    int n = 0;
    while (text[n] != '\0') {
        ++n;
    }
    return n;
}

int BoundedTextLength(const char* text, int limit) {
    int n = 0;
    while (n < limit && text[n] != '\0') {
        ++n;
    }
    return n;
}

int CopyText(char* dest, int destSize, const char* text) {
    int length = TextLength(text);
    if (length + 1 > destSize) {
        return 0;
    }
    CopyBytes(dest, text, length + 1);
    return 1;
}

int CopyTextCut(char* dest, int destSize, const char* text) {
    if (destSize <= 0) {
        return 0;
    }
    int n = BoundedTextLength(text, destSize - 1);
    CopyBytes(dest, text, n);
    dest[n] = '\0';
    return n;
}

int AppendText(char* dest, int destSize, const char* text) {
    int used = BoundedTextLength(dest, destSize);
    if (used >= destSize) {
        return 0;
    }
    return CopyText(dest + used, destSize - used, text);
}

int TextEqual(const char* a, const char* b) {
    int i = 0;
    while (a[i] == b[i]) {
        if (a[i] == '\0') {
            return 1;
        }
        ++i;
    }
    return 0;
}

void CopyBytes(void* dest, const void* src, int count) {
    unsigned char* d = static_cast<unsigned char*>(dest);
    const unsigned char* s = static_cast<const unsigned char*>(src);
    for (int i = 0; i < count; ++i) {
        d[i] = s[i];
    }
}

void FillBytes(void* dest, unsigned char value, int count) {
    unsigned char* d = static_cast<unsigned char*>(dest);
    for (int i = 0; i < count; ++i) {
        d[i] = value;
    }
}

int IsSpaceChar(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

int IsDigitChar(char c) {
    return c >= '0' && c <= '9';
}

int HexDigitValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

int IsHexDigitChar(char c) {
    return HexDigitValue(c) >= 0;
}

char ToLowerChar(char c) {
    if (c >= 'A' && c <= 'Z') {
        return static_cast<char>(c - 'A' + 'a');
    }
    return c;
}

int ParseDecimal(const char* text) {
    int i = 0;
    while (IsSpaceChar(text[i])) {
        ++i;
    }
    int negative = 0;
    if (text[i] == '+' || text[i] == '-') {
        negative = text[i] == '-';
        ++i;
    }
    // Accumulate the magnitude, stopping the growth once it passes the
    // largest magnitude either sign can hold.
    const unsigned int limit = negative ? 2147483648u : 2147483647u;
    unsigned int value = 0;
    while (IsDigitChar(text[i])) {
        unsigned int digit = static_cast<unsigned int>(text[i] - '0');
        if (value > (limit - digit) / 10u) {
            value = limit;
        } else {
            value = value * 10u + digit;
        }
        ++i;
    }
    if (negative) {
        return value == 2147483648u ? (-2147483647 - 1) : -static_cast<int>(value);
    }
    return static_cast<int>(value);
}

unsigned short GetWord16(const unsigned char* p) {
    return static_cast<unsigned short>(p[0] | (p[1] << 8));
}

unsigned int GetWord32(const unsigned char* p) {
    return static_cast<unsigned int>(p[0]) | (static_cast<unsigned int>(p[1]) << 8) |
           (static_cast<unsigned int>(p[2]) << 16) | (static_cast<unsigned int>(p[3]) << 24);
}

void PutWord16(unsigned char* p, unsigned short value) {
    p[0] = static_cast<unsigned char>(value & 0xFF);
    p[1] = static_cast<unsigned char>(value >> 8);
}

void PutWord32(unsigned char* p, unsigned int value) {
    p[0] = static_cast<unsigned char>(value & 0xFF);
    p[1] = static_cast<unsigned char>((value >> 8) & 0xFF);
    p[2] = static_cast<unsigned char>((value >> 16) & 0xFF);
    p[3] = static_cast<unsigned char>(value >> 24);
}
