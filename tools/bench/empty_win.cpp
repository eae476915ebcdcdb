// The baseline of the benchmark under Wine: a Windows program linked like the
// shipped exe, importing from the same three DLLs, that exits at once, so
// that its time is the cost of starting a process there.
#include <windows.h>

extern "C" __attribute__((force_align_arg_pointer, noreturn)) void mainCRTStartup() {
    // Never true: the calls keep USER32 and ADVAPI32 among the imports.
    if (GetCommandLineA() == nullptr) {
        char text[16];
        wsprintfA(text, "%d", 0);
        RegCloseKey(HKEY_LOCAL_MACHINE);
    }
    ExitProcess(0);
}
