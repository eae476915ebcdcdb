// The command dispatcher: the program's whole user interface.
#pragma once

// Result codes; the dispatcher's result is the process exit code.
enum ResultCode {
    RESULT_DONE = 0,
    RESULT_NO_COMMAND = 1,
    RESULT_NO_ADAPTER = 2,
    RESULT_REGISTRY_FAILED = 3,
    RESULT_MALFORMED = 4,
    RESULT_WRONG_DRIVER = 5,
    RESULT_NO_DEVICE = 6,
    RESULT_MANAGER_ABSENT = 100,
    RESULT_MANAGER_PRESENT = 101
};

// Checks the argument vector (argument 0 is the program name, argument 1 the
// command letter), runs exactly one command and returns its result code.
// The environment is not used.
int DispatchCommand(int argc, char** argv, char** envp);
