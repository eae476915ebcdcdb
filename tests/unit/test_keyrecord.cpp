// Tests of the key record: the default key record text, the default key
// number, the classes of key arguments and hexadecimal keys.
#include "keyrecord/keyrecord.h"

#include "keyrecord/codec.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const unsigned char kUntouched = 0xAA;

// Runs FillKeyRecord on a record full of kUntouched, with argv[2..6] given.
struct Fill {
    int result;
    std::vector<unsigned char> record;
};

Fill RunFill(std::string number, std::vector<std::string> keys) {
    std::vector<std::string> args = {"rckrv48", "K", number};
    args.insert(args.end(), keys.begin(), keys.end());
    std::vector<char*> argv;
    for (std::string& a : args) {
        argv.push_back(&a[0]);
    }
    argv.push_back(nullptr);
    Fill fill{0, std::vector<unsigned char>(76, kUntouched)};
    fill.result = FillKeyRecord(argv.data(), fill.record.data());
    return fill;
}

int Word16(const std::vector<unsigned char>& r, int offset) {
    return r[offset] | r[offset + 1] << 8;
}

// The 16-byte key slot n (1 to 4): key length, then the 14 data bytes.
std::vector<unsigned char> Slot(const Fill& fill, int n) {
    auto start = fill.record.begin() + 12 + 16 * (n - 1);
    return std::vector<unsigned char>(start, start + 16);
}

// A slot holding `key` as its first data bytes, all later data bytes zero.
std::vector<unsigned char> SlotOf(std::vector<unsigned char> key) {
    std::vector<unsigned char> slot(16, 0);
    slot[0] = static_cast<unsigned char>(key.size());
    std::copy(key.begin(), key.end(), slot.begin() + 2);
    return slot;
}

std::vector<unsigned char> Bytes(const std::string& s) {
    return {s.begin(), s.end()};
}

} // namespace

TEST(KeyRecord, DefaultRecordTextHoldsTheDefaultRecord) {
    ASSERT_EQ(std::string(g_DefaultKeyRecordText).size(), 102u);
    std::vector<unsigned char> r(77, kUntouched);
    ASSERT_EQ(UnscrambleText(g_ScrambleKey, r.data(), g_DefaultKeyRecordText), 76);
    r.pop_back();
    std::vector<unsigned char> expected = {'k', 'q', 'K', 'Q', 0, 0, 1, 0, 33, 0, 0xB0, 0xFC};
    expected.resize(76, 0); // four empty key slots
    EXPECT_EQ(r, expected);
    char text[103];
    ASSERT_EQ(ScrambleBytes(g_ScrambleKey, text, r.data(), 76), 102);
    EXPECT_STREQ(text, g_DefaultKeyRecordText);
}

TEST(KeyRecord, DefaultKeyNumber) {
    for (char digit = '1'; digit <= '4'; ++digit) {
        Fill fill = RunFill(std::string(1, digit), {"", "a", "", "b"});
        ASSERT_EQ(fill.result, 1);
        EXPECT_EQ(Word16(fill.record, 4), digit - '1');
        EXPECT_EQ(Word16(fill.record, 6), 1);
        for (int n = 1; n <= 4; ++n) {
            EXPECT_EQ(Slot(fill, n), SlotOf({}));
        }
        // Magic and embedded record length and type are never written.
        EXPECT_EQ(std::vector<unsigned char>(fill.record.begin(), fill.record.begin() + 4),
                  std::vector<unsigned char>(4, kUntouched));
        EXPECT_EQ(Word16(fill.record, 8), 0xAAAA);
        EXPECT_EQ(Word16(fill.record, 10), 0xAAAA);
    }
    for (std::string bad : {"0", "5", "a", "01", "", "1 "}) {
        Fill fill = RunFill(bad, {"", "", "", ""});
        EXPECT_EQ(fill.result, 0) << bad;
        EXPECT_EQ(fill.record, std::vector<unsigned char>(76, kUntouched)) << bad;
    }
}

TEST(KeyRecord, KeyArgumentLengthClasses) {
    const std::string text = "\x01\x7F\x80\xFF key text!!!!!!!!!!!!!!!!!!!";
    const std::string hex = "0x000102030405060708090A0B0C";
    for (size_t length : {0, 1, 2, 4, 5, 6, 11, 12, 13, 14, 27, 28, 29}) {
        const std::string key =
            (length == 12 || length == 28) ? hex.substr(0, length) : text.substr(0, length);
        Fill fill = RunFill("1", {"12345", key, "", ""});
        std::vector<unsigned char> slot;
        if (length <= 1) {
            slot = SlotOf({});
        } else if (length == 5 || length == 13) {
            slot = SlotOf(Bytes(key));
        } else if (length == 12 || length == 28) {
            slot = SlotOf({0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12});
            slot.resize(2 + (length - 2) / 2);
            slot[0] = static_cast<unsigned char>(slot.size() - 2);
            slot.resize(16, 0);
        } else {
            EXPECT_EQ(fill.result, 0) << length;
            continue;
        }
        EXPECT_EQ(fill.result, 1) << length;
        EXPECT_EQ(Slot(fill, 1), SlotOf(Bytes("12345")));
        EXPECT_EQ(Slot(fill, 2), slot) << length;
    }
}

TEST(KeyRecord, HexadecimalKeys) {
    EXPECT_EQ(Slot(RunFill("1", {"0xa1B2c3D4e5", "", "", ""}), 1),
              SlotOf({0xA1, 0xB2, 0xC3, 0xD4, 0xE5}));
    EXPECT_EQ(Slot(RunFill("1", {"0XfEdCbA9876", "", "", ""}), 1),
              SlotOf({0xFE, 0xDC, 0xBA, 0x98, 0x76}));
    EXPECT_EQ(Slot(RunFill("1", {"0x123", "", "", ""}), 1), SlotOf(Bytes("0x123"))); // text key
    for (std::string bad : std::vector<std::string>{
             "x0123456789a", "0123456789ab", "00123456789a", "1x0123456789", "0xg123456789",
             "0x012345678g", "0x01234 6789", "0x" + std::string(25, 'f') + "G"}) {
        EXPECT_EQ(RunFill("1", {"", "", "", bad}).result, 0) << bad;
    }
}

TEST(KeyRecord, RejectedPartWay) {
    Fill fill = RunFill("3", {"0x0102030405", "abcde", "0x01020304zz", "fghij"});
    EXPECT_EQ(fill.result, 0);
    EXPECT_EQ(Word16(fill.record, 4), 2);
    EXPECT_EQ(Slot(fill, 1), SlotOf({1, 2, 3, 4, 5}));
    EXPECT_EQ(Slot(fill, 2), SlotOf(Bytes("abcde")));
    EXPECT_EQ(Slot(fill, 4), std::vector<unsigned char>(16, kUntouched)); // never reached
}

TEST(KeyRecord, ParseHexKeyCounts) {
    unsigned char out[3] = {kUntouched, kUntouched, kUntouched};
    EXPECT_EQ(ParseHexKey(out, "zz", 0), 1);
    EXPECT_EQ(ParseHexKey(out, "zz", -1), 1);
    EXPECT_EQ(ParseHexKey(out, "12g", 3), 0); // an odd last digit is still checked
    EXPECT_EQ(ParseHexKey(out, "12f", 3), 1);
    EXPECT_EQ(out[0], 0x12);
    EXPECT_EQ(out[1], kUntouched);
}

TEST(KeyRecord, PrepareStartsFromTheDefaultRecord) {
    std::fill(std::begin(g_KeyRecordBuffer), std::end(g_KeyRecordBuffer), 0xEE);
    std::string args[] = {"rckrv48", "K", "2", "", "abcde", "", "0x0102030405"};
    char* argv[] = {&args[0][0], &args[1][0], &args[2][0], &args[3][0],
                    &args[4][0], &args[5][0], &args[6][0], nullptr};
    ASSERT_EQ(PrepareKeyRecord(argv), 1);
    std::vector<unsigned char> r(g_KeyRecordBuffer, g_KeyRecordBuffer + 76);
    std::vector<unsigned char> head = {'k', 'q', 'K', 'Q', 1, 0, 1, 0, 33, 0, 0xB0, 0xFC};
    EXPECT_EQ(std::vector<unsigned char>(r.begin(), r.begin() + 12), head);
    EXPECT_EQ(std::vector<unsigned char>(r.begin() + 28, r.begin() + 44), SlotOf(Bytes("abcde")));
    args[2] = "0";
    EXPECT_EQ(PrepareKeyRecord(argv), 0);
}
