// Splitting of a Windows command line into the argument vector of a C
// program. Install scripts for Windows 95, 98, NT 4 and 2000 quote their
// arguments for the C runtime those systems ship (msvcrt.dll of that time),
// so the program's own start-up splits by exactly its rules, which differ
// from those of later runtimes in the places marked "(older rule)".
#pragma once

// Splits `line` into arguments:
// - Argument 0, the program name. When the line starts with a double quote,
//   it is everything up to the next double quote or the end of the line; the
//   quotes are dropped, and the next argument starts right after the closing
//   quote, blank or not ("rckrv48"V has V as argument 1). Otherwise it runs
//   up to the first space or tab, and quotes in it are kept as they are
//   (older rule). Backslashes are always literal here. A line that starts
//   with a blank gives an empty argument 0.
// - The other arguments are separated by runs of spaces and tabs. A double
//   quote starts or ends a quoted part, in which blanks are kept. Inside a
//   quoted part a pair of double quotes gives one literal quote and ends the
//   quoted part (older rule: "a""b" c is a"b c, one argument, where later
//   runtimes give a"b and c). Backslashes are literal unless a double quote
//   follows them: then 2n backslashes give n backslashes and the quote keeps
//   its meaning, while 2n+1 give n backslashes and a literal quote. A quoted
//   part left open at the end of the line ends there.
// - Double-byte code pages: a lead byte of the active ANSI code page
//   (IsDBCSLeadByte) takes the byte after it along, in every argument, so a
//   second byte that has the value of a backslash is part of the character
//   and never an escape. Such second bytes occur in code pages 932, 936 and
//   950; those of code page 949 are 0x41-0x5A, 0x61-0x7A and 0x81-0xFE,
//   never 0x5C. A lead byte at the very end of the line stands alone, as a
//   character of one byte. That is this program's own choice, made on
//   purpose: the runtime of that time took the terminator along as the
//   second byte and read on past the end of the line.
// The argument texts, each with its terminator, go into `text` (textSize
// bytes; the length of `line` plus one always suffices), their starts into
// `argv`, followed by a null pointer (argvSize slots; half the length of
// `line` plus two always suffices). Returns the number of arguments, argument
// 0 included, or -1 when `text` or `argv` is too small, in which case their
// contents are of no use.
int SplitCommandLine(const char* line, char* text, int textSize, char** argv, int argvSize);
