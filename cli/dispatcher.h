// The command dispatcher: the program's whole user interface.
#pragma once

// Result codes; the dispatcher's result is the process exit code, hence
// kExit, which keeps them apart from the driver channel's own results
// (driver/protocol.h).
enum ResultCode {
    kExitDone = 0,
    kExitNoCommand = 1,
    kExitNoAdapter = 2,
    kExitRegistryFailed = 3,
    kExitMalformed = 4,
    kExitWrongDriver = 5,
    kExitNoDevice = 6,
    kExitManagerAbsent = 100,
    kExitManagerPresent = 101
};

// Checks the argument vector (argument 0 is the program name, argument 1 the
// command letter), runs exactly one command and returns its result code.
// The environment is not used.
int DispatchCommand(int argc, char** argv, char** envp);
