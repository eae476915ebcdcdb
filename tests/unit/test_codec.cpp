// Tests of the scrambled text codec: known answers for the seed and the
// packing, reading of characters modulo 64, round trips and output bounds.
#include "keyrecord/codec.h"

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
