// Tests of the keyrecord library: the scrambled text codec (known answers
// for the seed and the packing, reading of characters modulo 64, round trips
// and output bounds) and the key record (the default key record text, the
// default key number, the classes of key arguments and hexadecimal keys).
#include "keyrecord/keyrecord.h"

#include "keyrecord/codec.h"
#include "tests/unit/argv.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

using Bytes = std::vector<unsigned char>;

namespace {

const unsigned char kSeed = 0x28; // seed of g_ScrambleKey, worked out by hand
const unsigned char kCanary = 0x5A;

// Unscrambles `text`, checking the count and that nothing is written past it.
Bytes Unscramble(const std::string& text, const char* key = g_ScrambleKey) {
    Bytes out(text.size() + 1, kCanary);
    int n = UnscrambleText(key, out.data(), text.c_str());
    EXPECT_EQ(n, static_cast<int>(text.size() * 3 / 4));
    EXPECT_EQ(out[n], kCanary) << "written past the count";
    out.resize(n);
    return out;
}

// Scrambles bytes whose masked values are `masked`, so the text shows the packing alone.
std::string Pack(Bytes masked) {
    for (size_t i = 0; i < masked.size(); ++i) {
        masked[i] ^= static_cast<unsigned char>(kSeed + i);
    }
    char text[8];
    ScrambleBytes(g_ScrambleKey, text, masked.data(), static_cast<int>(masked.size()));
    return text;
}

const unsigned char kUntouched = 0xAA;
int g_result;

// Runs FillKeyRecord on a record full of kUntouched with the given argv[2..6]
// (missing key arguments are empty); the result goes to g_result, the record
// is returned.
Bytes Fill(std::vector<std::string> args) {
    args.resize(5);
    args.insert(args.begin(), "K");
    Argv argv(args);
    Bytes record(76, kUntouched);
    g_result = FillKeyRecord(argv.Get(), record.data());
    return record;
}

// Key slot n (1 to 4) of a record, or a slot holding `key` with zeros after it.
Bytes Slot(const Bytes& r, int n) {
    return Bytes(r.begin() + 16 * n - 4, r.begin() + 16 * n + 12);
}
Bytes SlotOf(const std::string& key) {
    Bytes slot = {static_cast<unsigned char>(key.size()), 0};
    slot.insert(slot.end(), key.begin(), key.end());
    slot.resize(16, 0);
    return slot;
}

const Bytes kDefaultRecord = [] {
    Bytes r = {'k', 'q', 'K', 'Q', 0, 0, 1, 0, 33, 0, 0xB0, 0xFC};
    r.resize(76, 0);
    return r;
}();

} // namespace

TEST(Codec, KnownAnswers) {
    EXPECT_EQ(Pack({0x41, 0x42, 0x43}), "6:/)");
    EXPECT_EQ(Pack({0xFF}), "eV");
    EXPECT_EQ(Pack({0xFF, 0xFF}), "eeb");
    EXPECT_EQ(Pack({0x00, 0x00, 0x00}), "&&&&");
    EXPECT_EQ(Unscramble("&&&&"), (Bytes{kSeed, kSeed + 1, kSeed + 2}));
    EXPECT_EQ(Unscramble("&&&&", "abcdefghijkl"), (Bytes{0x0C, 0x0D, 0x0E}));
    // Only the first 12 key bytes count, and the mask wraps from 255 to 0.
    Bytes run = Unscramble(std::string(400, '&'), "3D91C4E07B28trailing");
    for (size_t k = 0; k < run.size(); ++k) {
        ASSERT_EQ(run[k], static_cast<unsigned char>(kSeed + k)) << k;
    }
}

TEST(Codec, CharactersReadModulo64) {
    const std::string text = "6[GGDHVS1Xb7";
    std::string up(text);
    for (char& c : up) {
        c = static_cast<char>(c + 64);
    }
    EXPECT_EQ(Unscramble(up), Unscramble(text));
    EXPECT_EQ(Unscramble("f& &"), Unscramble("&&`&"));     // f reads as &, a space as `
    EXPECT_EQ(Unscramble("&&&&&/"), Unscramble("&&&&&&")); // low bits no byte takes
    EXPECT_EQ(Unscramble("&&&&e"), Unscramble("&&&&"));    // fifth character ignored
    EXPECT_EQ(Unscramble("e"), Bytes{});
}

TEST(Codec, RoundTripWithinBounds) {
    std::mt19937 random(48);
    for (int n = -2; n <= 160; ++n) {
        Bytes bytes(n > 0 ? n : 0);
        std::generate(bytes.begin(), bytes.end(), [&] { return random() & 0xFF; });
        const int chars = (4 * static_cast<int>(bytes.size()) + 2) / 3;
        std::string text(chars + 2, static_cast<char>(kCanary));
        ASSERT_EQ(ScrambleBytes(g_ScrambleKey, &text[0], bytes.data(), n), chars) << n;
        ASSERT_EQ(text.substr(chars), std::string(1, '\0') + static_cast<char>(kCanary)) << n;
        text.resize(chars);
        ASSERT_TRUE(
            std::all_of(text.begin(), text.end(), [](char c) { return c >= 0x26 && c <= 0x65; }));
        ASSERT_EQ(Unscramble(text), bytes) << n;
    }
}

TEST(KeyRecord, DefaultRecord) {
    Bytes r(77, kUntouched);
    ASSERT_EQ(UnscrambleText(g_ScrambleKey, r.data(), g_DefaultKeyRecordText), 76);
    EXPECT_EQ(Bytes(r.begin(), r.begin() + 76), kDefaultRecord);
    char text[104];
    ASSERT_EQ(ScrambleBytes(g_ScrambleKey, text, r.data(), 76), 102);
    EXPECT_STREQ(text, g_DefaultKeyRecordText);
}

TEST(KeyRecord, DefaultKeyNumber) {
    for (char digit : {'1', '4'}) {
        Bytes r = Fill({std::string(1, digit), "", "a", "", "b"});
        EXPECT_EQ(g_result, 1);
        Bytes expected(kDefaultRecord);
        expected[4] = static_cast<unsigned char>(digit - '1');
        std::fill(expected.begin(), expected.begin() + 4, kUntouched);      // magic and embedded
        std::fill(expected.begin() + 8, expected.begin() + 12, kUntouched); // length and type
        EXPECT_EQ(r, expected);
    }
    for (std::string bad : {"0", "5", "a", "01", "12", ""}) {
        EXPECT_EQ(Fill({bad, "", "", "", ""}), Bytes(76, kUntouched)) << bad;
        EXPECT_EQ(g_result, 0) << bad;
    }
}

TEST(KeyRecord, KeyArguments) {
    const std::string text = "\x01\x7F\x80\xFF text key 0x0123456789ABCDEF";
    const std::string hex = "0x000102030405060708090a0b0c";
    for (size_t length : {0, 1, 2, 4, 5, 6, 11, 12, 13, 14, 27, 28, 29}) {
        bool isHex = length == 12 || length == 28;
        Bytes r = Fill({"2", "abcde", isHex ? hex.substr(0, length) : text.substr(0, length)});
        bool accepted = length <= 1 || length == 5 || length == 13 || isHex;
        ASSERT_EQ(g_result, accepted) << length;
        std::string key = length == 5 || length == 13 ? text.substr(0, length) : "";
        key = isHex ? std::string("\0\1\2\3\4\5\6\7\10\11\12\13\14", length / 2 - 1) : key;
        if (accepted) {
            EXPECT_EQ(Slot(r, 2), SlotOf(key)) << length;
        }
        EXPECT_EQ(Slot(r, 1), SlotOf("abcde"));
        EXPECT_EQ(Slot(r, 3), accepted ? SlotOf("") : Bytes(16, kUntouched)) << length;
    }
    EXPECT_EQ(Slot(Fill({"1", "0XfEdCbA9876", "0x123"}), 1), SlotOf("\xFE\xDC\xBA\x98\x76"));
    EXPECT_EQ(Slot(Fill({"1", "0x123"}), 1), SlotOf("0x123"));
    for (std::string bad :
         {"x0123456789a", "0123456789ab", "00123456789a", "1x0123456789", "0xg123456789",
          "0x012345678g", "0x01234 6789", "0x0123456789abcdef012345678G"}) {
        Fill({"1", "", "", "", bad});
        EXPECT_EQ(g_result, 0) << bad;
    }
}

TEST(KeyRecord, ParseHexKeyCounts) {
    unsigned char out[2] = {kUntouched, kUntouched};
    EXPECT_EQ(ParseHexKey(out, "zz", 0) + ParseHexKey(out, "zz", -1), 2);
    EXPECT_EQ(ParseHexKey(out, "12g", 3), 0); // an odd last digit is checked, not stored
    EXPECT_EQ(ParseHexKey(out, "a2f", 3), 1);
    EXPECT_EQ(Bytes(out, out + 2), (Bytes{0xA2, kUntouched}));
}
