// The command dispatcher: checks the command line, runs exactly one command
// and maps its outcome to the result code that becomes the exit code. Each
// command first checks its arguments in a fixed order and then does its work;
// the first check that fails decides the result.
#include "cli/dispatcher.h"

#include "driver/keypush.h"
#include "keyrecord/codec.h"
#include "keyrecord/keyrecord.h"
#include "runtime/output.h"
#include "runtime/text.h"
#include "runtime/version.h"
#include "settings/adapter.h"
#include "settings/platform.h"
#include "settings/profile.h"

#include <windows.h>

namespace {

const int kDefaultProfile = 1;

// A profile argument is exactly one character, '0' to '4'.
int ParseProfileArgument(const char* argument, int* profile) {
    if (argument[0] < '0' || argument[0] > '4' || argument[1] != '\0') {
        return 0;
    }
    *profile = argument[0] - '0';
    return 1;
}

// Profile number of a command whose optional profile argument is argument
// `index`: 1 when the count stops before it, else the argument's digit.
// Returns 0 for any other count or a bad argument.
int TakeOptionalProfile(int argc, char** argv, int index, int* profile) {
    if (argc == index) {
        *profile = kDefaultProfile;
        return 1;
    }
    if (argc == index + 1) {
        return ParseProfileArgument(argv[index], profile);
    }
    return 0;
}

// The shared front of E and W: the optional profile argument 3; then the
// adapter must be installed and record the driver identity the program is
// built for. 0 with `profile` set, or the result that ends the command.
int TakeProfileAndAdapter(int argc, char** argv, int* profile) {
    if (!TakeOptionalProfile(argc, argv, 3, profile)) {
        return kExitMalformed;
    }
    if (!FindAdapter(g_CardIdTable)) {
        return kExitNoAdapter;
    }
    return CheckDriverVersion() ? kExitDone : kExitWrongDriver;
}

int RunClientManager(int argc, char** argv) {
    (void)argv;
    if (argc != 2) {
        return kExitMalformed;
    }
    // The atom stays behind for the client manager's installer to find.
    if (IsClientManagerInstalled()) {
        GlobalAddAtomA("RAD INSTALLED 1");
        return kExitManagerPresent;
    }
    GlobalAddAtomA("RAD INSTALLED 0");
    return kExitManagerAbsent;
}

int RunStoreText(int argc, char** argv) {
    // The text must be there to be measured; a count beyond the optional
    // profile is refused where the profile is taken.
    if (argc < 3) {
        return kExitMalformed;
    }
    if (BoundedTextLength(argv[2], kKeyRecordTextLength + 1) != kKeyRecordTextLength) {
        return kExitMalformed;
    }
    int profile = 0;
    int front = TakeProfileAndAdapter(argc, argv, &profile);
    if (front != kExitDone) {
        return front;
    }
    return WriteEncryption(argv[2], profile) ? kExitDone : kExitRegistryFailed;
}

int RunPrintSsid(int argc, char** argv) {
    int profile = 0;
    if (!TakeOptionalProfile(argc, argv, 2, &profile)) {
        return kExitMalformed;
    }
    if (!FindAdapter(g_CardIdTable)) {
        PrintText("XXXXXX");
        return kExitNoAdapter;
    }
    PrintText(ReadDesiredSsid(nullptr, profile));
    return CheckDriverVersion() ? kExitDone : kExitWrongDriver;
}

int RunBuildKey(int argc, char** argv) {
    if (argc != 7) {
        return kExitMalformed;
    }
    UnscrambleText(g_ScrambleKey, g_KeyRecordBuffer, g_DefaultKeyRecordText);
    if (!FillKeyRecord(argv, g_KeyRecordBuffer)) {
        return kExitMalformed;
    }
    return StoreKeyRecord(g_KeyRecordBuffer) ? kExitDone : kExitRegistryFailed;
}

int RunVersion(int argc, char** argv) {
    (void)argv;
    if (argc != 2) {
        return kExitMalformed;
    }
    char line[64];
    wsprintfA(line, "%s Variant %d, Version %s\n", RCK_PROGRAM_NAME, RCK_VARIANT, RCK_VERSION_TEXT);
    PrintText(line);
    return kExitDone;
}

// Lower-cases the key in place and accepts exactly five hexadecimal digits.
int TakePushKey(char* key) {
    for (int i = 0; key[i] != '\0'; ++i) {
        key[i] = ToLowerChar(key[i]);
    }
    for (int i = 0; i < kPushKeyLength; ++i) {
        if (!IsHexDigitChar(key[i])) {
            return 0;
        }
    }
    return key[kPushKeyLength] == '\0';
}

int RunNewFirstKey(int argc, char** argv) {
    int profile = 0;
    int front = TakeProfileAndAdapter(argc, argv, &profile);
    if (front != kExitDone) {
        return front;
    }
    if (!TakePushKey(argv[2])) {
        return kExitMalformed;
    }
    // The registry is changed only once the driver holds the key.
    switch (PushKeyToDriver(argv[2])) {
    case kPushed:
        break;
    case kPushWrongDriver:
        return kExitWrongDriver;
    case kPushNoDevice:
        return kExitNoDevice;
    }
    return RekeyStoredRecord(argv[2], profile) ? kExitDone : kExitRegistryFailed;
}

struct Command {
    char letter;
    int (*run)(int argc, char** argv);
};

const Command kCommands[] = {
    {'@', RunClientManager}, {'E', RunStoreText}, {'H', RunPrintSsid},
    {'K', RunBuildKey},      {'V', RunVersion},   {'W', RunNewFirstKey},
};

} // namespace

int DispatchCommand(int argc, char** argv, char** envp) {
    (void)envp;
    if (argc < 2) {
        return kExitNoCommand;
    }
    // An empty first argument is as malformed as a long one; neither is
    // read past its end.
    const char* letter = argv[1];
    if (letter[0] == '\0' || letter[1] != '\0') {
        return kExitMalformed;
    }
    IdentifyPlatform(nullptr);
    for (const Command& command : kCommands) {
        if (command.letter == letter[0]) {
            return command.run(argc, argv);
        }
    }
    return kExitNoCommand;
}
