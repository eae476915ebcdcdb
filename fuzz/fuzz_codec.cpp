// Fuzz target: the scrambled text codec. Any bytes scrambled with any key
// string come back unchanged, the text holds only alphabet characters, and
// neither routine writes one byte past what it announces: ceil(4n/3)
// characters and a terminator, or floor(3L/4) bytes for a text of length L.
// Any text at all unscrambles within that bound.
#include "fuzz/harness.h"

#include "keyrecord/codec.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

const unsigned char kCanary = 0xA5;
const size_t kCanaryBytes = 16;

// A buffer of `size` bytes followed by canaries; heap blocks of the exact size
// would also do for AddressSanitizer, the canaries catch a stray write in any
// build.
struct Guarded {
    explicit Guarded(size_t size) : bytes(size + kCanaryBytes, kCanary), used(size) {}
    bool Intact() const {
        for (size_t i = used; i < bytes.size(); ++i) {
            if (bytes[i] != kCanary) {
                return false;
            }
        }
        return true;
    }
    std::vector<unsigned char> bytes;
    size_t used;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    // Only the first 12 bytes of the key string take part; give it exactly
    // its length in a block of its own, so a read beyond them is caught.
    std::string keyText = in.ConsumeBytesAsString(in.ConsumeIntegralInRange<size_t>(12, 20));
    keyText.resize(std::max<size_t>(keyText.size(), 12), 'K');
    std::vector<char> key(keyText.begin(), keyText.end());
    const std::string firstTwelve = keyText.substr(0, 12);
    const bool roundTrip = in.ConsumeBool();
    const std::string payload = in.ConsumeRemainingBytesAsString();

    if (roundTrip) {
        const int n = static_cast<int>(payload.size());
        const size_t chars = (4 * payload.size() + 2) / 3;
        Guarded text(chars + 1);
        int written = ScrambleBytes(key.data(), reinterpret_cast<char*>(text.bytes.data()),
                                    reinterpret_cast<const unsigned char*>(payload.data()), n);
        FUZZ_CHECK(written == static_cast<int>(chars),
                   "scrambled length " + std::to_string(written));
        FUZZ_CHECK(text.Intact(), "scramble wrote past the terminator");
        FUZZ_CHECK(text.bytes[chars] == 0, "scrambled text not terminated");
        for (size_t i = 0; i < chars; ++i) {
            FUZZ_CHECK(text.bytes[i] >= 0x26 && text.bytes[i] <= 0x65,
                       "character outside the alphabet");
        }
        // The same with the key string cut to its first 12 characters.
        Guarded again(chars + 1);
        ScrambleBytes(firstTwelve.c_str(), reinterpret_cast<char*>(again.bytes.data()),
                      reinterpret_cast<const unsigned char*>(payload.data()), n);
        FUZZ_CHECK(again.bytes == text.bytes, "characters after the 12th of the key took part");

        Guarded back(payload.size());
        int count = UnscrambleText(key.data(), back.bytes.data(),
                                   reinterpret_cast<const char*>(text.bytes.data()));
        FUZZ_CHECK(count == n, "unscrambled count " + std::to_string(count));
        FUZZ_CHECK(back.Intact(), "unscramble wrote past its count");
        FUZZ_CHECK(std::memcmp(back.bytes.data(), payload.data(), payload.size()) == 0,
                   "round trip changed the bytes");
    } else {
        // Any text, cut at its first zero as the codec reads it.
        std::string text = payload.substr(0, payload.find('\0'));
        std::vector<char> block(text.begin(), text.end());
        block.push_back('\0');
        const size_t expected = (3u * static_cast<unsigned>(text.size())) >> 2;
        Guarded bytes(expected);
        int count = UnscrambleText(key.data(), bytes.bytes.data(), block.data());
        FUZZ_CHECK(count == static_cast<int>(expected),
                   "unscrambled count " + std::to_string(count));
        FUZZ_CHECK(bytes.Intact(), "unscramble wrote past floor(3L/4)");
    }
    return 0;
}
