// The runtime library. Command-line splitting: the argument vectors that
// install scripts expect from a program of the C runtime that Windows 95 to
// 2000 ship, on single- and double-byte code pages, and the bounds of the
// caller's buffers. The text helpers: the bounds they promise are what keeps
// every fixed buffer of the program from overrunning.
#include "runtime/cmdline.h"
#include "runtime/text.h"

#include "simwin/simctl.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

using Args = std::vector<std::string>;

const char kCanary = '#';

// Splits `line` with buffers of exactly the documented worst-case sizes and
// checks that nothing is written past them.
Args Split(const std::string& line) {
    int textSize = static_cast<int>(line.size()) + 1;
    int argvSize = static_cast<int>(line.size()) / 2 + 2;
    std::vector<char> text(textSize + 1, kCanary);
    std::vector<char*> argv(argvSize + 1, reinterpret_cast<char*>(&text));
    int argc = SplitCommandLine(line.c_str(), text.data(), textSize, argv.data(), argvSize);
    EXPECT_GE(argc, 1) << line;
    EXPECT_EQ(kCanary, text[textSize]) << "text written past its size for " << line;
    EXPECT_EQ(reinterpret_cast<char*>(&text), argv[argvSize]) << "argv overrun for " << line;
    Args args;
    if (argc < 1) {
        return args;
    }
    EXPECT_EQ(nullptr, argv[argc]) << line;
    for (int i = 0; i < argc; ++i) {
        args.push_back(argv[i]);
    }
    return args;
}

struct Example {
    const char* line;
    Args args;
};

void ExpectSplits(const std::vector<Example>& examples, const std::string& context = "") {
    for (const Example& e : examples) {
        EXPECT_EQ(e.args, Split(e.line)) << context << e.line;
    }
}

// The examples the C runtime's documentation of that time gives, with the
// program name in front.
TEST(SplitCommandLine, DocumentedExamples) {
    ExpectSplits({
        {R"(p "a b c" d e)", {"p", "a b c", "d", "e"}},
        {R"(p "ab\"c" "\\" d)", {"p", R"(ab"c)", R"(\)", "d"}},
        {R"(p "abc" d e)", {"p", "abc", "d", "e"}},
        {R"(p a\\\b d"e f"g h)", {"p", R"(a\\\b)", "de fg", "h"}},
        {R"(p a\\b d"e f"g h)", {"p", R"(a\\b)", "de fg", "h"}},
        {R"(p a\\\"b c d)", {"p", R"(a\"b)", "c", "d"}},
        {R"(p a\\\\"b c" d e)", {"p", R"(a\\b c)", "d", "e"}},
    });
}

TEST(SplitCommandLine, BackslashesCountOnlyBeforeAQuote) {
    ExpectSplits({
        {R"(p \ \\ \\\ a\b)", {"p", R"(\)", R"(\\)", R"(\\\)", R"(a\b)"}},
        {R"(p \"a)", {"p", R"("a)"}},
        {R"(p \\"a b")", {"p", R"(\a b)"}},
        {R"(p \\\\\"a)", {"p", R"(\\"a)"}},
        {R"(p "a\\" b)", {"p", R"(a\)", "b"}},
        {R"(p "a\" b")", {"p", R"(a" b)"}},
        {R"(p a\)", {"p", R"(a\)"}},
        {R"(p "a\\)", {"p", R"(a\\)"}},
    });
}

TEST(SplitCommandLine, QuotesAndEmptyArguments) {
    ExpectSplits({
        {R"(p "")", {"p", ""}},
        {R"(p "" "" x)", {"p", "", "", "x"}},
        {"p \"\"\t\"\"", {"p", "", ""}},
        {R"(p """")", {"p", R"(")"}},
        {R"(p a""b)", {"p", "ab"}},
        {R"(p "a b)", {"p", "a b"}},
        {R"(p "a"b c)", {"p", "ab", "c"}},
        {R"(p ")", {"p", ""}},
    });
}

TEST(SplitCommandLine, OnlySpaceAndTabSeparate) {
    EXPECT_EQ((Args{"p", "a", "b", "c"}), Split("p  a\t\tb \t c \t "));
    EXPECT_EQ((Args{"p", "a\nb", "c\rd"}), Split("p a\nb c\rd"));
    EXPECT_EQ((Args{"p"}), Split("p"));
    EXPECT_EQ((Args{"p"}), Split("p   \t"));
    EXPECT_EQ((Args{"p", "V"}), Split("p V"));
    EXPECT_EQ((Args{"p", "\xe9\xff", "@"}), Split("p \xe9\xff @"));
}

// Where the older runtime and its successors part: a pair of quotes inside
// a quoted part ends it.
TEST(SplitCommandLine, PairOfQuotesEndsTheQuotedPart) {
    ExpectSplits({
        {R"(p "a""b" c)", {"p", R"(a"b c)"}},
        {R"(p """ a)", {"p", R"(")", "a"}},
        {R"(p a"b"" c d)", {"p", R"(ab")", "c", "d"}},
        {R"(p "a""b""c")", {"p", R"(a"bc)"}},
        {R"(p """""" x)", {"p", R"("")", "x"}},
        {R"(p "a\\""b")", {"p", R"(a\"b)"}},
    });
}

// The program name is a path: a quote at its start runs it to the next
// quote, and the arguments start right after that; any other quote is part
// of the name, and backslashes are kept.
TEST(SplitCommandLine, ProgramNameHasItsOwnRule) {
    ExpectSplits({
        {R"("C:\Program Files\rckrv48.exe" V)", {R"(C:\Program Files\rckrv48.exe)", "V"}},
        {R"(C:\tools\rckrv48.exe V)", {R"(C:\tools\rckrv48.exe)", "V"}},
        {R"("rckrv48"V)", {"rckrv48", "V"}},
        {R"("rckrv48""V 1")", {"rckrv48", "V 1"}},
        {R"("C:\dir\"x y)", {R"(C:\dir\)", "x", "y"}},
        {R"(C:\"Program Files"\a.exe V)", {R"(C:\"Program)", R"(Files\a.exe V)"}},
        {R"("a b)", {"a b"}},
        {R"(a""b c)", {R"(a""b)", "c"}},
        {R"("" V)", {"", "V"}},
        {R"(""V)", {"", "V"}},
        {" V", {"", "V"}},
        {"\t\tV W", {"", "V", "W"}},
        {"", {""}},
    });
}

// On a double-byte code page the byte after a lead byte belongs to it: in
// code page 932 the bytes 95 5C are one character, whose second byte is no
// backslash. The same bytes on code page 1252 are two characters.
TEST(SplitCommandLine, DoubleByteCharacters) {
    SimSetCodePage(932);
    ExpectSplits(
        {
            {"p \"ab \x95\x5c\" x", {"p", "ab \x95\x5c", "x"}},
            {"p \x95\x5c\"a b\"",
             {"p", "\x95\x5c"
                   "a b"}},
            {"p \x95\x5c\x5c\"a", {"p", "\x95\x5c\"a"}},
            {"p \"\x95\x5c\"\"", {"p", "\x95\x5c\""}},
            {"\"C:\\\x95\x5c\" V", {"C:\\\x95\x5c", "V"}},
            {"C:\\\x95\x5c\"x\" V", {"C:\\\x95\x5c\"x\"", "V"}},
            {"p \xe0\x40 \x81", {"p", "\xe0\x40", "\x81"}},
            {"p \x81 a", {"p", "\x81 a"}},
            {"p \xfe\x5c\"", {"p", "\xfe\""}},
        },
        "code page 932: ");
    SimSetCodePage(936);
    EXPECT_EQ((Args{"p", "\xfe\x5c", "x"}), Split("p \"\xfe\x5c\" x"));
    SimSetCodePage(1252);
    EXPECT_EQ((Args{"p", "ab \x95\" x"}), Split("p \"ab \x95\x5c\" x"));
    EXPECT_EQ((Args{"p", "\x81 a"}), Split("p \"\x81 a\""));
    EXPECT_EQ((Args{"p", "\x81", "a"}), Split("p \x81 a"));
}

TEST(SplitCommandLine, RefusesBuffersThatAreTooSmall) {
    char text[16];
    char* argv[8];
    // "p a b": 6 bytes of text and 4 slots (three arguments and the null).
    EXPECT_EQ(3, SplitCommandLine("p a b", text, 6, argv, 4));
    EXPECT_EQ(-1, SplitCommandLine("p a b", text, 5, argv, 4));
    EXPECT_EQ(-1, SplitCommandLine("p a b", text, 6, argv, 3));
    EXPECT_EQ(-1, SplitCommandLine("p", text, 1, argv, 1));
    EXPECT_EQ(-1, SplitCommandLine("pp", text, 2, argv, 2));
    EXPECT_EQ(-1, SplitCommandLine("p \"\"", text, 2, argv, 8));

    std::memset(text, kCanary, sizeof text);
    EXPECT_EQ(-1, SplitCommandLine("program argument", text, 4, argv, 8));
    for (int i = 4; i < static_cast<int>(sizeof text); ++i) {
        EXPECT_EQ(kCanary, text[i]) << "byte " << i;
    }
}

// The worst cases of the documented sizes: one-character arguments with
// single blanks, and empty quoted arguments.
TEST(SplitCommandLine, DocumentedSizesSufficeForDenseLines) {
    std::string singles = "p";
    std::string empties = "p";
    for (int i = 0; i < 50; ++i) {
        singles += " x";
        empties += " \"\"";
    }
    EXPECT_EQ(51u, Split(singles).size());
    EXPECT_EQ(51u, Split(empties).size());
    EXPECT_EQ(26u, Split(" " + singles.substr(2, 50)).size());
}

// The documented sizes hold for any line: random lines of blanks, quotes,
// backslashes and letters never overrun them (Split checks the canaries).
TEST(SplitCommandLine, DocumentedSizesSufficeForRandomLines) {
    const char alphabet[] = {' ', '\t', '"', '"', '\\', '\\', 'a', 'b', '\x95'};
    std::mt19937 random(6);
    for (int round = 0; round < 20000; ++round) {
        SimSetCodePage(round % 2 == 0 ? 1252 : 932);
        std::string line;
        int length = static_cast<int>(random() % 24);
        for (int i = 0; i < length; ++i) {
            line += alphabet[random() % sizeof alphabet];
        }
        Args args = Split(line);
        ASSERT_FALSE(args.empty()) << line;
    }
    SimSetCodePage(1252);
}

TEST(DecimalConversion, ReadsLikeTheCRuntime) {
    EXPECT_EQ(14, ParseDecimal("14"));
    EXPECT_EQ(14, ParseDecimal(" \t\n\v\f\r14"));
    EXPECT_EQ(14, ParseDecimal("14abc"));
    EXPECT_EQ(14, ParseDecimal("14:"));
    EXPECT_EQ(14, ParseDecimal("14/"));
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
