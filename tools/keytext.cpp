// rck_keytext: prints the scrambled text of a key record described on the
// command line, or describes the record behind a scrambled text. Built from
// the program's own key record library, so it scrambles exactly as the
// program does. How the scenarios' texts were made with it:
// docs/scenarios.md; its command line: kUsage below.
//
// The record starts as the program's default key record (magic 514B716B,
// default key 1, enable flag 1, embedded length 33 and type FCB0, four empty
// key slots); the options set its fields (--default N puts N - 1 into the
// default key index, as the K command does) and each KEY fills its slot: ""
// leaves it empty, 0x followed by an even number of hexadecimal digits gives
// those bytes, anything else is stored byte for byte. A slot holds 0 to 14
// bytes; its key length is the number of bytes given. Unlike the K command,
// any length from 0 to 14 is taken, so damaged records can be made too.
//
// --decode prints the fields of the record behind TEXT, then the command
// line that makes the same text again (when TEXT is of a whole record).
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "keyrecord/codec.h"
#include "keyrecord/keyrecord.h"
#include "runtime/text.h"

namespace {

const char kUsage[] =
    "usage: rck_keytext [--magic HEX] [--default N] [--enable N] [--length N] [--type HEX]\n"
    "                   [KEY1 [KEY2 [KEY3 [KEY4]]]]\n"
    "       rck_keytext --decode TEXT\n"
    "KEY: \"\" (empty), 0x and hexadecimal digits, or text; at most 14 bytes.\n";

int Usage() {
    std::fputs(kUsage, stderr);
    return 2;
}

// Reads a whole number in `base` of at most `max`; 0 when `text` is not one.
int ParseNumber(const char* text, int base, unsigned long max, unsigned long* value) {
    char* end = nullptr;
    if (*text == '\0' || *text == '-' || *text == '+') {
        return 0;
    }
    *value = std::strtoul(text, &end, base);
    return *end == '\0' && *value <= max;
}

// Fills the key slot `slot` from the argument `key`; 0 when it is no key.
int FillSlot(unsigned char* record, int slot, const char* key) {
    unsigned char* p = record + KeySlotOffset(slot);
    unsigned char data[kKeyDataSize] = {};
    int length = static_cast<int>(std::strlen(key));
    if (key[0] == '0' && (key[1] == 'x' || key[1] == 'X')) {
        const int digits = length - 2;
        if (digits % 2 != 0 || digits / 2 > kKeyDataSize || !ParseHexKey(data, key + 2, digits)) {
            return 0;
        }
        length = digits / 2;
    } else if (length > kKeyDataSize) {
        return 0;
    } else {
        std::memcpy(data, key, static_cast<size_t>(length));
    }
    PutWord16(p + kKeyLengthOffset, static_cast<unsigned short>(length));
    std::memcpy(p + kKeyDataOffset, data, sizeof data);
    return 1;
}

// A key as a shell argument that gives it back: as it is when it holds only
// letters, digits and . _ -; in single quotes when it holds other printable
// characters; else in hexadecimal.
void PrintKeyArgument(const unsigned char* data, int length) {
    int bare = 1;
    int printable = 1;
    for (int i = 0; i < length; ++i) {
        const unsigned char c = data[i];
        if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
              c == '.' || c == '_' || c == '-')) {
            bare = 0;
        }
        if (c < 0x20 || c > 0x7E || c == '\'') {
            printable = 0;
        }
    }
    if (length >= 2 && data[0] == '0' && (data[1] == 'x' || data[1] == 'X')) {
        printable = 0; // would read as hexadecimal
    }
    const char* text = reinterpret_cast<const char*>(data);
    if (length == 0) {
        std::printf(" \"\"");
    } else if (printable && bare) {
        std::printf(" %.*s", length, text);
    } else if (printable) {
        std::printf(" '%.*s'", length, text);
    } else {
        std::printf(" 0x");
        for (int i = 0; i < length; ++i) {
            std::printf("%02x", data[i]);
        }
    }
}

int Decode(const char* text) {
    static unsigned char bytes[4096];
    if (std::strlen(text) * 3 / 4 > sizeof bytes) {
        std::fputs("rck_keytext: text too long\n", stderr);
        return 2;
    }
    const int count = UnscrambleText(g_ScrambleKey, bytes, text);
    std::printf("characters  %d\nbytes       %d\n", static_cast<int>(std::strlen(text)), count);
    if (count < kKeyRecordSize) {
        std::printf("data       ");
        for (int i = 0; i < count; ++i) {
            std::printf(" %02x", bytes[i]);
        }
        std::printf("\n(not a whole key record)\n");
        return 0;
    }
    const unsigned char* r = bytes;
    std::printf("magic       %08X\n", GetWord32(r + kKeyRecordMagicOffset));
    std::printf("default     %u (index %u)\n", GetWord16(r + kDefaultKeyIndexOffset) + 1,
                GetWord16(r + kDefaultKeyIndexOffset));
    std::printf("enable      %u\n", GetWord16(r + kEnableFlagOffset));
    std::printf("length      %u\n", GetWord16(r + kEmbeddedLengthOffset));
    std::printf("type        %04X\n", GetWord16(r + kEmbeddedTypeOffset));
    int remakable = count == kKeyRecordSize;
    for (int slot = 0; slot < kKeySlotCount; ++slot) {
        const unsigned char* p = r + KeySlotOffset(slot);
        const unsigned int length = GetWord16(p + kKeyLengthOffset);
        std::printf("key %d       length %u, data", slot + 1, length);
        for (int i = 0; i < kKeyDataSize; ++i) {
            std::printf(" %02x", p[kKeyDataOffset + i]);
            if (static_cast<unsigned long>(i) >= length && p[kKeyDataOffset + i] != 0) {
                remakable = 0;
            }
        }
        std::printf("\n");
        if (length > static_cast<unsigned long>(kKeyDataSize)) {
            remakable = 0;
        }
    }
    if (!remakable) {
        std::printf("(no command line of rck_keytext makes this text)\n");
        return 0;
    }
    std::printf("made by     rck_keytext");
    unsigned char fresh[kKeyRecordSize];
    UnscrambleText(g_ScrambleKey, fresh, g_DefaultKeyRecordText);
    if (GetWord32(r + kKeyRecordMagicOffset) != GetWord32(fresh + kKeyRecordMagicOffset)) {
        std::printf(" --magic %08X", GetWord32(r + kKeyRecordMagicOffset));
    }
    if (GetWord16(r + kDefaultKeyIndexOffset) != GetWord16(fresh + kDefaultKeyIndexOffset)) {
        std::printf(" --default %u", GetWord16(r + kDefaultKeyIndexOffset) + 1);
    }
    if (GetWord16(r + kEnableFlagOffset) != GetWord16(fresh + kEnableFlagOffset)) {
        std::printf(" --enable %u", GetWord16(r + kEnableFlagOffset));
    }
    if (GetWord16(r + kEmbeddedLengthOffset) != GetWord16(fresh + kEmbeddedLengthOffset)) {
        std::printf(" --length %u", GetWord16(r + kEmbeddedLengthOffset));
    }
    if (GetWord16(r + kEmbeddedTypeOffset) != GetWord16(fresh + kEmbeddedTypeOffset)) {
        std::printf(" --type %04X", GetWord16(r + kEmbeddedTypeOffset));
    }
    int last = kKeySlotCount;
    while (last > 0 && GetWord16(r + KeySlotOffset(last - 1) + kKeyLengthOffset) == 0) {
        --last;
    }
    for (int slot = 0; slot < last; ++slot) {
        const unsigned char* p = r + KeySlotOffset(slot);
        PrintKeyArgument(p + kKeyDataOffset, static_cast<int>(GetWord16(p + kKeyLengthOffset)));
    }
    std::printf("\n");
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--decode") == 0) {
        return Decode(argv[2]);
    }
    unsigned char record[kKeyRecordSize];
    UnscrambleText(g_ScrambleKey, record, g_DefaultKeyRecordText);
    int slot = 0;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        unsigned long value = 0;
        if (std::strncmp(arg, "--", 2) == 0 && arg[2] != '\0') {
            if (i + 1 >= argc) {
                return Usage();
            }
            const char* v = argv[++i];
            if (std::strcmp(arg, "--magic") == 0 && ParseNumber(v, 16, 0xFFFFFFFFul, &value)) {
                PutWord32(record + kKeyRecordMagicOffset, static_cast<unsigned int>(value));
            } else if (std::strcmp(arg, "--default") == 0 && ParseNumber(v, 10, 0x10000, &value) &&
                       value >= 1) {
                PutWord16(record + kDefaultKeyIndexOffset, static_cast<unsigned short>(value - 1));
            } else if (std::strcmp(arg, "--enable") == 0 && ParseNumber(v, 10, 0xFFFF, &value)) {
                PutWord16(record + kEnableFlagOffset, static_cast<unsigned short>(value));
            } else if (std::strcmp(arg, "--length") == 0 && ParseNumber(v, 10, 0xFFFF, &value)) {
                PutWord16(record + kEmbeddedLengthOffset, static_cast<unsigned short>(value));
            } else if (std::strcmp(arg, "--type") == 0 && ParseNumber(v, 16, 0xFFFF, &value)) {
                PutWord16(record + kEmbeddedTypeOffset, static_cast<unsigned short>(value));
            } else {
                return Usage();
            }
        } else if (slot >= kKeySlotCount || !FillSlot(record, slot++, arg)) {
            return Usage();
        }
    }
    char text[kKeyRecordTextLength + 1];
    ScrambleBytes(g_ScrambleKey, text, record, kKeyRecordSize);
    std::printf("%s\n", text);
    return 0;
}
