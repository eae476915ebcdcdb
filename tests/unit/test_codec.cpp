// Tests of the scrambled text codec: known answers for the seed and the
// packing, reading of characters modulo 64, round trips and output bounds.
#include "keyrecord/codec.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace {

const unsigned char kSeed = 0x28; // seed of g_ScrambleKey, worked out by hand
const char kCanary = 0x5A;

// Scrambles bytes chosen so that their masked values are `masked`; the text
// then shows the packing alone.
std::string PackMasked(const std::vector<unsigned char>& masked) {
    std::vector<unsigned char> bytes(masked);
    for (size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] ^= static_cast<unsigned char>(kSeed + i);
    }
    char text[16];
    int n = ScrambleBytes(g_ScrambleKey, text, bytes.data(), static_cast<int>(bytes.size()));
    EXPECT_EQ(n, static_cast<int>(std::string(text).size()));
    return text;
}

std::vector<unsigned char> Unscramble(const char* key, const std::string& text) {
    std::vector<unsigned char> out(text.size() + 1, kCanary);
    int n = UnscrambleText(key, out.data(), text.c_str());
    EXPECT_EQ(n, static_cast<int>(text.size() * 3 / 4));
    EXPECT_EQ(out[n], static_cast<unsigned char>(kCanary)) << "written past the count";
    out.resize(n);
    return out;
}

} // namespace

TEST(Codec, PackingKnownAnswers) {
    EXPECT_EQ(PackMasked({0x41, 0x42, 0x43}), "6:/)");
    EXPECT_EQ(PackMasked({0xFF}), "eV");
    EXPECT_EQ(PackMasked({0xFF, 0xFF}), "eeb");
    EXPECT_EQ(PackMasked({0x00, 0x00, 0x00}), "&&&&");
    EXPECT_EQ(PackMasked({0x41, 0x42, 0x43, 0xFF}), "6:/)eV");
}

TEST(Codec, SeedFoldAndRunningMask) {
    EXPECT_EQ(Unscramble(g_ScrambleKey, "&&&&"),
              (std::vector<unsigned char>{kSeed, kSeed + 1, kSeed + 2}));
    EXPECT_EQ(Unscramble("abcdefghijkl", "&&&&"), (std::vector<unsigned char>{0x0C, 0x0D, 0x0E}));
    // The mask wraps from 255 to 0 and only the first 12 key bytes count.
    std::vector<unsigned char> run = Unscramble("3D91C4E07B28trailing", std::string(400, '&'));
    for (size_t k = 0; k < run.size(); ++k) {
        ASSERT_EQ(run[k], static_cast<unsigned char>(kSeed + k)) << "byte " << k;
    }
}

TEST(Codec, CharactersReadModulo64) {
    const std::string text = "6[GGDHVS1Xb7"; // all inside the alphabet
    std::string up(text), down(text);
    for (size_t i = 0; i < text.size(); ++i) {
        up[i] = static_cast<char>(text[i] + 64);
        if (static_cast<unsigned char>(text[i]) > 64) {
            down[i] = static_cast<char>(text[i] - 64);
        }
    }
    EXPECT_EQ(Unscramble(g_ScrambleKey, up), Unscramble(g_ScrambleKey, text));
    EXPECT_EQ(Unscramble(g_ScrambleKey, down), Unscramble(g_ScrambleKey, text));
    // Outside the alphabet: f reads as &, a space as `.
    EXPECT_EQ(Unscramble(g_ScrambleKey, "f& &"), Unscramble(g_ScrambleKey, "&&`&"));
}

TEST(Codec, ShortAndUnevenTexts) {
    EXPECT_TRUE(Unscramble(g_ScrambleKey, "").empty());
    EXPECT_TRUE(Unscramble(g_ScrambleKey, "e").empty());
    // Bits that no byte takes, and a fifth character, play no part.
    EXPECT_EQ(Unscramble(g_ScrambleKey, "&/"), Unscramble(g_ScrambleKey, "&&"));
    EXPECT_EQ(Unscramble(g_ScrambleKey, "&&)"), Unscramble(g_ScrambleKey, "&&&"));
    EXPECT_EQ(Unscramble(g_ScrambleKey, "&&&&e"), Unscramble(g_ScrambleKey, "&&&&"));
}

TEST(Codec, RoundTripWithinBounds) {
    std::mt19937 random(48);
    for (int n = -2; n <= 160; ++n) {
        const size_t size = n > 0 ? n : 0;
        std::vector<unsigned char> bytes(size);
        for (unsigned char& b : bytes) {
            b = static_cast<unsigned char>(random());
        }
        const size_t chars = (4 * size + 2) / 3;
        std::vector<char> text(chars + 2, kCanary);
        ASSERT_EQ(ScrambleBytes(g_ScrambleKey, text.data(), bytes.data(), n),
                  static_cast<int>(chars))
            << n;
        ASSERT_EQ(text[chars], '\0') << n;
        ASSERT_EQ(text[chars + 1], kCanary) << "written past the terminator, n=" << n;
        for (size_t i = 0; i < chars; ++i) {
            ASSERT_TRUE(text[i] >= 0x26 && text[i] <= 0x65) << n;
        }
        ASSERT_EQ(Unscramble(g_ScrambleKey, text.data()), bytes) << n;
    }
}
