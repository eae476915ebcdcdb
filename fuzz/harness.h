// Shared pieces of the fuzz targets: running the program in this process as
// if it were a fresh one, and the checks every run of the program must pass.
#pragma once

#include <string>
#include <vector>

// Fails the fuzz run with `what` when `condition` is false: libFuzzer keeps
// the input that did it.
#define FUZZ_CHECK(condition, what)                                                                \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            FuzzFailure(__FILE__, __LINE__, #condition, what);                                     \
        }                                                                                          \
    } while (0)

[[noreturn]] void FuzzFailure(const char* file, int line, const char* condition,
                              const std::string& what);

// The program keeps its state in zero-initialised process-wide storage and
// runs one command per process. Fuzzing runs many commands in one process, so
// after each run this puts that storage back as a new process has it.
void ResetProcessState();

// Runs the dispatcher on `args`, as tests/unit/argv.h lays them out.
int RunProgram(const std::vector<std::string>& args);

// 1 when `result` is one of the program's result codes.
bool IsResultCode(int result);

// Checks what every run must leave: no registry key, device handle or DOS
// device name of its own, and the driver channel closed. `dosNamesBefore` is
// the DOS device name table before the run. Leftovers that a failed close or
// removal explains are allowed when `closeFaults` is set.
void CheckNothingLeft(const std::vector<std::string>& dosNamesBefore, bool closeFaults);
