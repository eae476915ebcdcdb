// An independent statement of the program's command-line checks, written
// from the README's usage rules and the order in which the checks come, not
// from the program's code: nothing of cli/ or keyrecord/ is used here. The
// fuzz targets judge every run by it.
#pragma once

#include <string>
#include <vector>

// What the command line alone says about a run.
struct CommandVerdict {
    // The result on any machine whatever, or -1 when the machine has a say.
    int decided = -1;
    // The results the machine may still give when nothing is decided.
    std::vector<int> possible;
    // The platform is identified: every run whose command letter is one
    // character. Before that, the program calls nothing at all.
    bool identifiesPlatform = false;
};

// `args` are the arguments after the program name, as the program gets them.
CommandVerdict JudgeCommandLine(const std::vector<std::string>& args);

// The value of a hexadecimal digit of either case, or -1. Apart from
// runtime/text.cpp on purpose: the model must not share a fault with the
// program.
int ModelHexValue(char c);

// A K key argument: true when it is accepted, with the key length and the
// key bytes it gives; false when the K command must refuse it.
bool ModelKeyArgument(const std::string& argument, int* length, std::string* keyData);
