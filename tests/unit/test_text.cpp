// The runtime's text helpers: the bounds they promise are what keeps every
// fixed buffer of the program from overrunning.
#include "runtime/text.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

TEST(DecimalConversion, ReadsLikeTheCRuntime) {
    EXPECT_EQ(14, ParseDecimal("14"));
    EXPECT_EQ(14, ParseDecimal(" \t\n\v\f\r14"));
    EXPECT_EQ(14, ParseDecimal("14abc"));
    EXPECT_EQ(0, ParseDecimal(""));
    EXPECT_EQ(0, ParseDecimal("abc"));
    EXPECT_EQ(-3, ParseDecimal("-3"));
    EXPECT_EQ(3, ParseDecimal("+3"));
    EXPECT_EQ(0, ParseDecimal("+-3"));
    EXPECT_EQ(0, ParseDecimal("- 3"));
}

TEST(DecimalConversion, SaturatesOutsideTheSigned32BitRange) {
    EXPECT_EQ(2147483647, ParseDecimal("2147483647"));
    EXPECT_EQ(2147483647, ParseDecimal("2147483648"));
    EXPECT_EQ(2147483647, ParseDecimal("99999999999999999999999"));
    EXPECT_EQ(-2147483647 - 1, ParseDecimal("-2147483648"));
    EXPECT_EQ(-2147483647 - 1, ParseDecimal("-2147483649"));
    EXPECT_EQ(-2147483647 - 1, ParseDecimal("-99999999999999999999999"));
}

TEST(TextCopies, NeverWritePastTheDestination) {
    char dest[8];
    std::memset(dest, '#', sizeof dest);
    EXPECT_EQ(0, CopyText(dest, 4, "abcd"));
    EXPECT_EQ('#', dest[0]); // a text that does not fit is not copied at all
    EXPECT_EQ(1, CopyText(dest, 5, "abcd"));
    EXPECT_STREQ("abcd", dest);
    EXPECT_EQ('#', dest[5]);

    std::memset(dest, '#', sizeof dest);
    EXPECT_EQ(3, CopyTextCut(dest, 4, "abcdef"));
    EXPECT_STREQ("abc", dest);
    EXPECT_EQ('#', dest[4]);
    EXPECT_EQ(0, CopyTextCut(dest, 0, "abc"));

    char path[8] = "ab";
    EXPECT_EQ(0, AppendText(path, 8, "cdefgh"));
    EXPECT_STREQ("ab", path);
    EXPECT_EQ(1, AppendText(path, 8, "cdefg"));
    EXPECT_STREQ("abcdefg", path);
}

TEST(TextCopies, BoundedLengthStopsAtTheLimit) {
    const char unterminated[4] = {'a', 'b', 'c', 'd'};
    EXPECT_EQ(4, BoundedTextLength(unterminated, 4));
    EXPECT_EQ(2, BoundedTextLength("ab", 10));
}

TEST(Characters, ClassifyAndLowerInTheDefaultLocale) {
    EXPECT_EQ(10, HexDigitValue('a'));
    EXPECT_EQ(15, HexDigitValue('F'));
    EXPECT_EQ(-1, HexDigitValue('g'));
    EXPECT_EQ(-1, HexDigitValue('\xC4'));
    EXPECT_EQ('z', ToLowerChar('Z'));
    EXPECT_EQ('\xC4', ToLowerChar('\xC4')); // no locale-dependent folding
    EXPECT_EQ('@', ToLowerChar('@'));
}

TEST(LittleEndian, FieldsRoundTrip) {
    unsigned char b[4];
    PutWord32(b, 0x514B716Bu);
    EXPECT_EQ(0x6B, b[0]);
    EXPECT_EQ(0x51, b[3]);
    EXPECT_EQ(0x514B716Bu, GetWord32(b));
    PutWord16(b, 0xFCB0);
    EXPECT_EQ(0xB0, b[0]);
    EXPECT_EQ(0xFCB0, GetWord16(b));
}

} // namespace
