// The dispatcher's order of checks: what runs before a command line is
// rejected, and which result each rejection gives.
#include "cli/dispatcher.h"
#include "simwin/simctl.h"
#include "simwin/simctl_registry.h"
#include "tests/unit/argv.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Runs the dispatcher on a fresh Windows 2000 machine with an empty registry.
class DispatcherTest : public ::testing::Test {
  protected:
    void SetUp() override { SimReset(); }

    int Run(const std::vector<std::string>& args) {
        Argv argv(args);
        return DispatchCommand(argv.Count(), argv.Get(), nullptr);
    }

    // Registry calls of every kind made so far.
    int RegistryCalls() {
        return SimCallCount("RegOpenKeyExA") + SimCallCount("RegCreateKeyExA") +
               SimCallCount("RegQueryValueExA") + SimCallCount("RegSetValueExA");
    }
};

TEST_F(DispatcherTest, NoCommandDoesNothingAtAll) {
    EXPECT_EQ(1, Run({}));
    EXPECT_TRUE(SimCallLog().empty());
}

TEST_F(DispatcherTest, LongOrEmptyLetterIsRejectedBeforeIdentification) {
    for (const char* letter : {"HH", "", "V1", "@@"}) {
        EXPECT_EQ(4, Run({letter})) << letter;
    }
    EXPECT_EQ(0, SimCallCount("GetVersionExA"));
}

TEST_F(DispatcherTest, PlatformIsIdentifiedOnceForEveryOneLetterCommand) {
    const char* letters[] = {"V", "@", "h", "x", "1", "H", "E", "K", "W"};
    for (const char* letter : letters) {
        SimClearCallLog();
        Run({letter, "too", "many", "arguments", "for", "any", "command", "here"});
        EXPECT_EQ(1, SimCallCount("GetVersionExA")) << letter;
    }
}

TEST_F(DispatcherTest, LettersOutsideTheTableNameNoCommand) {
    for (const char* letter : {"h", "v", "k", "e", "w", "A", "Z", "#", "0"}) {
        EXPECT_EQ(1, Run({letter})) << letter;
    }
}

TEST_F(DispatcherTest, ArgumentCountsEachCommandRefuses) {
    EXPECT_EQ(4, Run({"V", "x"}));
    EXPECT_EQ(4, Run({"@", "x"}));
    EXPECT_EQ(4, Run({"E"}));
    EXPECT_EQ(4, Run({"E", "a", "b", "c"}));
    EXPECT_EQ(4, Run({"H", "1", "2"}));
    EXPECT_EQ(4, Run({"K", "1", "", "", ""}));
    EXPECT_EQ(4, Run({"K", "1", "", "", "", "", ""}));
    EXPECT_EQ(4, Run({"W"}));
    EXPECT_EQ(4, Run({"W", "12345", "1", "x"}));
    // None of these got as far as the registry.
    EXPECT_EQ(0, RegistryCalls());
}

TEST_F(DispatcherTest, BadProfileArgumentsAreRejectedBeforeTheRegistry) {
    const std::string text(102, 'A');
    for (const char* profile : {"5", "01", "a", "", "-1", "9"}) {
        EXPECT_EQ(4, Run({"H", profile})) << profile;
        EXPECT_EQ(4, Run({"E", text.c_str(), profile})) << profile;
        EXPECT_EQ(4, Run({"W", "12345", profile})) << profile;
    }
    EXPECT_EQ(0, RegistryCalls());
}

TEST_F(DispatcherTest, TextLengthOfEIsCheckedBeforeTheAdapterSearch) {
    EXPECT_EQ(4, Run({"E", std::string(101, 'A').c_str()}));
    EXPECT_EQ(4, Run({"E", std::string(103, 'A').c_str(), "1"}));
    EXPECT_EQ(0, RegistryCalls());
    // With the right length the search runs and, on this empty machine, fails.
    EXPECT_EQ(2, Run({"E", std::string(102, 'A').c_str()}));
    EXPECT_GT(RegistryCalls(), 0);
}

TEST_F(DispatcherTest, WKeyIsNotExaminedBeforeTheAdapterSearch) {
    EXPECT_EQ(2, Run({"W", "not-a-key"}));
    EXPECT_EQ(2, Run({"W", "12345", "0"}));
}

TEST_F(DispatcherTest, ClientManagerAtomAndResult) {
    EXPECT_EQ(100, Run({"@"}));
    EXPECT_EQ(std::vector<std::string>{"RAD INSTALLED 0"}, SimAtoms());
}

// A machine whose Windows family the program does not know, with the card
// installed as on Windows 2000: nothing finds the adapter, and K falls back.
TEST_F(DispatcherTest, UnknownFamilyFindsNoAdapterButKStillStores) {
    SimSetVersion(3, 5, 0, 2195, "");
    const std::string enumKey =
        "System\\CurrentControlSet\\Enum\\PCMCIA\\KESTRAN_INSTRUMENTS-AIRLOOM/IEEE-4E21\\1";
    const std::string adapter = "System\\CurrentControlSet\\Control\\Class\\{X}\\0001";
    SimRegSetString(enumKey, "Driver", "{X}\\0001");
    SimRegSetString(adapter, "VendorDescription", "CORVANE PC Card");
    SimRegSetString(adapter + "\\Config01", "ConfigName", "One");

    EXPECT_EQ(2, Run({"H"}));
    EXPECT_EQ("XXXXXX", SimStdout());
    EXPECT_EQ(2, Run({"E", std::string(102, 'A').c_str()}));
    EXPECT_EQ(2, Run({"W", "12345"}));
    EXPECT_EQ(0, SimCallCount("CreateFileA"));
    EXPECT_EQ(0, Run({"K", "2", "", "", "", ""}));
    EXPECT_TRUE(SimRegGetValue("Software\\Corvane\\Driver", "Encryption", nullptr, nullptr));
    EXPECT_FALSE(SimRegGetValue(adapter + "\\Config01", "Encryption", nullptr, nullptr));
}

} // namespace
