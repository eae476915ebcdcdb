// Command-line splitting; see cmdline.h for the rules.
//
// Where the rules come from: the documentation of the C runtime of that time
// ("Parsing C Command-Line Arguments") gives the blanks, the quoted parts
// and the backslashes before a quote. It says nothing of argument 0, of a
// pair of quotes inside a quoted part or of double-byte characters; those
// follow what the msvcrt.dll of Windows 95 to 2000 does, as published
// analyses of its start-up describe it.
//
// The msvcrt.dll that Wine ships is no model for them. It splits the wide
// command line (GetCommandLineW) and converts each argument to the ANSI code
// page afterwards, so it has no lead-byte rule at all: a double-byte
// character is one wide character there, which is why its results agree
// with ours for whole characters. It splits argument 0 by the same rules as
// the others, and inside a quoted part a pair of quotes gives one quote and
// the part stays quoted, as later runtimes do.
// tests/e2e/check_startup_wine.py compares the two on exact lines.
#include "runtime/cmdline.h"

#include <windows.h>

namespace {

// Where the argument texts go. Once a byte did not fit, `full` stays set and
// nothing more is written.
struct TextSink {
    char* text;
    int size;
    int used;
    int full;
};

void PutChar(TextSink* sink, char c) {
    if (sink->used >= sink->size) {
        sink->full = 1;
        return;
    }
    sink->text[sink->used] = c;
    ++sink->used;
}

void PutBackslashes(TextSink* sink, int count) {
    for (int i = 0; i < count; ++i) {
        PutChar(sink, '\\');
    }
}

int IsBlank(char c) {
    return c == ' ' || c == '\t';
}

// Copies the character at `p`, one byte or, for a lead byte of the active
// code page, two, and returns the position after it. The byte after a lead
// byte goes along whatever it is, except the line's end.
const char* CopyCharacter(const char* p, TextSink* sink) {
    if (IsDBCSLeadByte(static_cast<BYTE>(*p)) && p[1] != '\0') {
        PutChar(sink, *p);
        ++p;
    }
    PutChar(sink, *p);
    return p + 1;
}

// Copies one argument after the program name and returns the position
// after it.
const char* TakeArgument(const char* p, TextSink* sink) {
    int quoted = 0;
    for (;;) {
        int backslashes = 0;
        while (*p == '\\') {
            ++backslashes;
            ++p;
        }
        if (*p == '"') {
            PutBackslashes(sink, backslashes / 2);
            if (backslashes % 2 == 1) {
                PutChar(sink, '"');
                ++p;
            } else if (quoted && p[1] == '"') {
                // One literal quote, and the quoted part is over.
                PutChar(sink, '"');
                p += 2;
                quoted = 0;
            } else {
                quoted = !quoted;
                ++p;
            }
            continue;
        }
        PutBackslashes(sink, backslashes);
        if (*p == '\0' || (!quoted && IsBlank(*p))) {
            return p;
        }
        p = CopyCharacter(p, sink);
    }
}

} // namespace

int SplitCommandLine(const char* line, char* text, int textSize, char** argv, int argvSize) {
    TextSink sink = {text, textSize, 0, 0};
    int argc = 0;
    const char* p = line;

    // The program name is a file name, which holds no quotes of its own:
    // only a quote at its start means anything, and backslashes are literal.
    if (argvSize < 2) {
        return -1;
    }
    argv[argc++] = text;
    if (*p == '"') {
        ++p;
        while (*p != '\0' && *p != '"') {
            p = CopyCharacter(p, &sink);
        }
        if (*p == '"') {
            ++p;
        }
    } else {
        while (*p != '\0' && !IsBlank(*p)) {
            p = CopyCharacter(p, &sink);
        }
    }
    PutChar(&sink, '\0');

    for (;;) {
        while (IsBlank(*p)) {
            ++p;
        }
        if (*p == '\0') {
            break;
        }
        if (argc + 1 >= argvSize || sink.full) {
            return -1;
        }
        argv[argc++] = text + sink.used;
        p = TakeArgument(p, &sink);
        PutChar(&sink, '\0');
    }
    if (sink.full) {
        return -1;
    }
    argv[argc] = nullptr;
    return argc;
}
