// Reading the simulated machine's call log in the unit tests.
#pragma once

#include "simwin/simctl.h"

#include <string>
#include <vector>

// The logged calls of one function, in order, without the function name.
inline std::vector<std::string> Calls(const std::string& function) {
    std::vector<std::string> out;
    for (const std::string& entry : SimCallLog()) {
        if (entry.compare(0, function.size() + 1, function + " ") == 0) {
            out.push_back(entry.substr(function.size() + 1));
        }
    }
    return out;
}

// The keys that the logged calls of RegOpenKeyExA or RegCreateKeyExA opened,
// in order, each with its root key.
inline std::vector<std::string> KeysOpened(const std::string& function) {
    std::vector<std::string> keys;
    for (const std::string& call : Calls(function)) {
        keys.push_back(call.substr(0, call.find(" options")));
    }
    return keys;
}
