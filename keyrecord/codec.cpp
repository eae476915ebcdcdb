// Scrambled text codec; see codec.h.
#include "keyrecord/codec.h"

#include "runtime/text.h"

const char g_ScrambleKey[] = "3D91C4E07B28";

namespace {

// Number of key string bytes that take part in the seed.
const int kSeedKeyLength = 12;

// First character of the 64-character alphabet.
const unsigned char kAlphabetBase = 0x26;

// Folds the first 12 bytes of the key string into the 8-bit seed.
unsigned char FoldSeed(const char* key) {
    unsigned char seed = 0;
    for (int i = 0; i < kSeedKeyLength; ++i) {
        unsigned char k = static_cast<unsigned char>(key[i]);
        seed = static_cast<unsigned char>((k ^ seed) + k);
    }
    return seed;
}

// Mask of the byte at `position`: the seed plus the position, modulo 256.
unsigned char MaskAt(unsigned char seed, int position) {
    return static_cast<unsigned char>(seed + static_cast<unsigned int>(position));
}

char SixBitChar(unsigned int value) {
    return static_cast<char>(kAlphabetBase + (value & 0x3F));
}

// 6-bit value of a character: its distance from the alphabet base, modulo 64.
unsigned int CharValue(char c) {
    return (static_cast<unsigned int>(static_cast<unsigned char>(c)) - kAlphabetBase) & 0x3F;
}

} // namespace

int ScrambleBytes(const char* key, char* text, const unsigned char* bytes, int count) {
    text[0] = '\0';
    if (count <= 0) {
        return 0;
    }
    const unsigned char seed = FoldSeed(key);
    int out = 0;
    for (int p = 0; p < count; p += 3) {
        const int left = count - p;
        const unsigned int m0 = bytes[p] ^ MaskAt(seed, p);
        const unsigned int m1 = left > 1 ? bytes[p + 1] ^ MaskAt(seed, p + 1) : 0;
        const unsigned int m2 = left > 2 ? bytes[p + 2] ^ MaskAt(seed, p + 2) : 0;
        text[out++] = SixBitChar(m0 >> 2);
        text[out++] = SixBitChar(((m0 & 0x03) << 4) | (m1 >> 4));
        if (left > 1) {
            text[out++] = SixBitChar(((m1 & 0x0F) << 2) | (m2 >> 6));
        }
        if (left > 2) {
            text[out++] = SixBitChar(m2);
        }
    }
    text[out] = '\0';
    return out;
}

int UnscrambleText(const char* key, unsigned char* bytes, const char* text) {
    const unsigned int length = static_cast<unsigned int>(TextLength(text));
    const int count = static_cast<int>((3u * length) >> 2);
    if (count == 0) {
        return 0;
    }
    const unsigned char seed = FoldSeed(key);
    for (int k = 0; k < count; ++k) {
        // Byte k of group g = k / 3 takes characters 4g + r and 4g + r + 1;
        // both lie inside the text whenever k < (3 * length) >> 2.
        const int r = k % 3;
        const int first = (k / 3) * 4 + r;
        const unsigned int a = CharValue(text[first]);
        const unsigned int b = CharValue(text[first + 1]);
        unsigned int value;
        if (r == 0) {
            value = (a << 2) | (b >> 4);
        } else if (r == 1) {
            value = ((a & 0x0F) << 4) | (b >> 2);
        } else {
            value = ((a & 0x03) << 6) | b;
        }
        bytes[k] = static_cast<unsigned char>(value ^ MaskAt(seed, k));
    }
    return count;
}
