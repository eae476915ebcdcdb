// Fuzz target: the K command's key arguments. FillKeyRecord takes any five
// arguments without reading past one, accepts exactly the argument classes of
// a key record, and fills the record accordingly; ParseHexKey takes any run
// of characters and writes no more than count / 2 bytes.
#include "fuzz/command_model.h"
#include "fuzz/harness.h"

#include "keyrecord/codec.h"
#include "keyrecord/keyrecord.h"
#include "runtime/text.h"
#include "tests/unit/argv.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

std::string Argument(FuzzedDataProvider& in) {
    static const size_t kLengths[] = {0, 1, 2, 4, 5, 6, 11, 12, 13, 14, 27, 28, 29};
    std::string a = in.ConsumeRandomLengthString(40);
    if (in.ConsumeBool()) {
        a.resize(in.PickValueInArray(kLengths), '0');
    }
    if (a.size() >= 2 && in.ConsumeBool()) {
        a[0] = '0';
        a[1] = in.ConsumeBool() ? 'x' : 'X';
    }
    return a.substr(0, a.find('\0'));
}

void CheckParseHexKey(FuzzedDataProvider& in) {
    std::string chars = in.ConsumeRandomLengthString(40);
    int count = in.ConsumeIntegralInRange<int>(-2, static_cast<int>(chars.size()));
    std::unique_ptr<char[]> run(new char[chars.size() + 1]);
    std::memcpy(run.get(), chars.c_str(), chars.size() + 1);
    const size_t room = count > 0 ? static_cast<size_t>(count) / 2 : 0;
    // Exactly the bytes it may write, so AddressSanitizer sees any more.
    std::unique_ptr<unsigned char[]> out(new unsigned char[room]);
    bool allHex = true;
    for (int i = 0; i < count; ++i) {
        allHex = allHex && ModelHexValue(chars[static_cast<size_t>(i)]) >= 0;
    }
    int result = ParseHexKey(out.get(), run.get(), count);
    FUZZ_CHECK(result == (allHex ? 1 : 0), "ParseHexKey answered " + std::to_string(result));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    if (in.ConsumeBool()) {
        CheckParseHexKey(in);
        return 0;
    }
    std::vector<std::string> args = {"K"};
    static const char* const kNumbers[] = {"1", "2", "3", "4", "0", "5", "01", "", "a"};
    args.push_back(in.ConsumeBool() ? std::string(in.PickValueInArray(kNumbers)) : Argument(in));
    for (int k = 0; k < 4; ++k) {
        args.push_back(Argument(in));
    }
    Argv argv(args);

    unsigned char record[kKeyRecordSize];
    UnscrambleText(g_ScrambleKey, record, g_DefaultKeyRecordText);
    unsigned char before[kKeyRecordSize];
    std::memcpy(before, record, sizeof record);

    const int result = FillKeyRecord(argv.Get(), record);

    const std::string& number = args[1];
    bool numberOk = number.size() == 1 && number[0] >= '1' && number[0] <= '4';
    bool expected = numberOk;
    int lengths[4] = {0, 0, 0, 0};
    std::string keys[4];
    for (int k = 0; k < 4 && expected; ++k) {
        expected = ModelKeyArgument(args[2 + static_cast<size_t>(k)], &lengths[k], &keys[k]);
    }
    FUZZ_CHECK(result == (expected ? 1 : 0), "FillKeyRecord answered " + std::to_string(result));
    // Never touched: the magic and the embedded record's length and type.
    FUZZ_CHECK(std::memcmp(record, before, 4) == 0, "magic changed");
    FUZZ_CHECK(std::memcmp(record + 8, before + 8, 4) == 0, "embedded record header changed");
    if (!numberOk) {
        FUZZ_CHECK(std::memcmp(record, before, sizeof record) == 0,
                   "record changed although the default key number was refused");
        return 0;
    }
    if (!expected) {
        return 0;
    }
    FUZZ_CHECK(GetWord16(record + kDefaultKeyIndexOffset) == number[0] - '1', "default key index");
    FUZZ_CHECK(GetWord16(record + kEnableFlagOffset) == 1, "enable flag");
    for (int k = 0; k < 4; ++k) {
        const unsigned char* slot = record + KeySlotOffset(k);
        FUZZ_CHECK(GetWord16(slot + kKeyLengthOffset) == lengths[k], "key length");
        std::string stored(reinterpret_cast<const char*>(slot + kKeyDataOffset), kKeyDataSize);
        std::string want = keys[k];
        want.resize(kKeyDataSize, '\0');
        FUZZ_CHECK(stored == want, "key data of slot " + std::to_string(k + 1));
    }
    return 0;
}
