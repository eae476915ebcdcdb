// Process entry of the Windows executable. The program links no C runtime,
// so that it loads on a Windows 95 without one; this is its whole start-up:
// split the command line, run the one command, end the process with its
// result as the exit code.
#include "cli/dispatcher.h"
#include "runtime/cmdline.h"

#include <windows.h>

namespace {

// The ANSI command line is at most 32767 characters, each of which may take
// two bytes in a double-byte code page.
const int kCommandLineBytes = 65536;
const int kArgumentSlots = kCommandLineBytes / 2 + 2;

char g_ArgumentText[kCommandLineBytes];
char* g_Arguments[kArgumentSlots];
char* g_NoEnvironment[1];

} // namespace

// The linker's default entry name for a console program. Windows enters it
// with whatever stack alignment the loader left, hence the realignment.
extern "C" __attribute__((force_align_arg_pointer, noreturn)) void mainCRTStartup() {
    int argc = SplitCommandLine(GetCommandLineA(), g_ArgumentText, kCommandLineBytes, g_Arguments,
                                kArgumentSlots);
    // A command line too long for the buffers cannot be a valid command.
    int result = argc < 0 ? kExitMalformed : DispatchCommand(argc, g_Arguments, g_NoEnvironment);
    ExitProcess(static_cast<UINT>(result));
}
