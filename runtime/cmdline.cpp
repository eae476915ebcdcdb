// Command-line splitting; see cmdline.h.
#include "runtime/cmdline.h"

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
                PutChar(sink, '"');
                p += 2;
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
        PutChar(sink, *p);
        ++p;
    }
}

} // namespace

int SplitCommandLine(const char* line, char* text, int textSize, char** argv, int argvSize) {
    TextSink sink = {text, textSize, 0, 0};
    int argc = 0;
    const char* p = line;

    // The program name is a file name, which holds no quotes of its own, so
    // quotes only switch the meaning of blanks and backslashes stay literal.
    if (argvSize < 2) {
        return -1;
    }
    argv[argc++] = text;
    int quoted = 0;
    while (*p != '\0' && (quoted || !IsBlank(*p))) {
        if (*p == '"') {
            quoted = !quoted;
        } else {
            PutChar(&sink, *p);
        }
        ++p;
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
