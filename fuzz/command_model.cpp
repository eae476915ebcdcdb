// The command-line checks as the README states them; see command_model.h.
#include "fuzz/command_model.h"

namespace {

const int kMalformed = 4;
const int kNoCommand = 1;

// A profile is one character, 0 to 4.
bool GoodProfile(const std::string& a) {
    return a.size() == 1 && a[0] >= '0' && a[0] <= '4';
}

// W's key: five hexadecimal digits of either case, nothing after them.
bool GoodPushKey(const std::string& a) {
    if (a.size() != 5) {
        return false;
    }
    for (char c : a) {
        if (ModelHexValue(c) < 0) {
            return false;
        }
    }
    return true;
}

CommandVerdict Decided(int result, bool identifiesPlatform) {
    CommandVerdict v;
    v.decided = result;
    v.identifiesPlatform = identifiesPlatform;
    return v;
}

CommandVerdict Machine(std::vector<int> possible) {
    CommandVerdict v;
    v.possible = possible;
    v.identifiesPlatform = true;
    return v;
}

} // namespace

int ModelHexValue(char c) {
    static const std::string kDigits = "0123456789abcdef";
    static const std::string kUpper = "0123456789ABCDEF";
    if (c == '\0') {
        return -1;
    }
    size_t at = kDigits.find(c);
    if (at == std::string::npos) {
        at = kUpper.find(c);
    }
    return at == std::string::npos ? -1 : static_cast<int>(at);
}

bool ModelKeyArgument(const std::string& a, int* length, std::string* keyData) {
    keyData->clear();
    switch (a.size()) {
    case 0:
    case 1: // an empty slot; the one character is not kept
        *length = 0;
        return true;
    case 5:
    case 13: // text, byte for byte, any bytes
        *length = static_cast<int>(a.size());
        *keyData = a;
        return true;
    case 12:
    case 28: // 0x or 0X, then two hexadecimal digits a byte
        if (a[0] != '0' || (a[1] != 'x' && a[1] != 'X')) {
            return false;
        }
        for (size_t i = 2; i < a.size(); i += 2) {
            const int high = ModelHexValue(a[i]);
            const int low = ModelHexValue(a[i + 1]);
            if (high < 0 || low < 0) {
                return false;
            }
            *keyData += static_cast<char>(high * 16 + low);
        }
        *length = static_cast<int>(keyData->size());
        return true;
    default:
        return false;
    }
}

CommandVerdict JudgeCommandLine(const std::vector<std::string>& args) {
    if (args.empty()) {
        return Decided(kNoCommand, false);
    }
    if (args[0].size() != 1) {
        return Decided(kMalformed, false);
    }
    const std::vector<std::string> rest(args.begin() + 1, args.end());
    const size_t n = rest.size();
    switch (args[0][0]) {
    case '@':
        return n == 0 ? Machine({100, 101}) : Decided(kMalformed, true);
    case 'V':
        return Decided(n == 0 ? 0 : kMalformed, true);
    case 'E':
        // The text's length, then the profile, then the machine.
        if ((n != 1 && n != 2) || rest[0].size() != 102 || (n == 2 && !GoodProfile(rest[1]))) {
            return Decided(kMalformed, true);
        }
        return Machine({0, 2, 3, 5});
    case 'H':
        if (n > 1 || (n == 1 && !GoodProfile(rest[0]))) {
            return Decided(kMalformed, true);
        }
        return Machine({0, 2, 5});
    case 'K': {
        if (n != 5 || rest[0].size() != 1 || rest[0][0] < '1' || rest[0][0] > '4') {
            return Decided(kMalformed, true);
        }
        int length = 0;
        std::string data;
        for (size_t k = 1; k < 5; ++k) {
            if (!ModelKeyArgument(rest[k], &length, &data)) {
                return Decided(kMalformed, true);
            }
        }
        return Machine({0, 3});
    }
    case 'W': {
        // The profile before the machine, the key after the adapter and
        // its driver identity.
        if ((n != 1 && n != 2) || (n == 2 && !GoodProfile(rest[1]))) {
            return Decided(kMalformed, true);
        }
        // A bad key ends the run with 2 or 5 before it is looked at, else with 4.
        return GoodPushKey(rest[0]) ? Machine({0, 2, 3, 5, 6}) : Machine({2, 4, 5});
    }
    default:
        return Decided(kNoCommand, true);
    }
}
