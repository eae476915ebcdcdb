// Output to standard output, through the platform's file functions.
#include "runtime/output.h"

#include <windows.h>

namespace {

int WriteAll(HANDLE out, const char* bytes, int count) {
    while (count > 0) {
        DWORD written = 0;
        if (!WriteFile(out, bytes, static_cast<DWORD>(count), &written, nullptr) || written == 0 ||
            written > static_cast<DWORD>(count)) {
            return 0;
        }
        bytes += written;
        count -= static_cast<int>(written);
    }
    return 1;
}

} // namespace

int PrintText(const char* text) {
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (out == INVALID_HANDLE_VALUE || out == nullptr) {
        return 0;
    }
    // Write runs of text between line ends as they are, and each line end as
    // the two bytes a Windows console and Windows tools expect.
    int start = 0;
    int i = 0;
    for (;; ++i) {
        if (text[i] == '\n' || text[i] == '\0') {
            if (!WriteAll(out, text + start, i - start)) {
                return 0;
            }
            if (text[i] == '\0') {
                return 1;
            }
            if (!WriteAll(out, "\r\n", 2)) {
                return 0;
            }
            start = i + 1;
        }
    }
}
