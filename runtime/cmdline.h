// Splitting of a Windows command line into the argument vector of a C
// program. Install scripts quote their arguments for the Microsoft C runtime,
// so the program's own start-up must split by exactly those rules.
#pragma once

// Splits `line` into arguments:
// - Argument 0, the program name, runs up to the first space or tab outside
//   double quotes; its quotes are dropped and backslashes are kept as they
//   are. A line that starts with a blank gives an empty argument 0.
// - The other arguments are separated by runs of spaces and tabs. A double
//   quote starts or ends a quoted part, in which blanks are kept; inside a
//   quoted part a pair of double quotes stands for one literal quote.
//   Backslashes are literal unless a double quote follows them: then 2n
//   backslashes give n backslashes and the quote keeps its meaning, while
//   2n+1 give n backslashes and a literal quote. A quoted part left open at
//   the end of the line ends there.
// The argument texts, each with its terminator, go into `text` (textSize
// bytes; the length of `line` plus one always suffices), their starts into
// `argv`, followed by a null pointer (argvSize slots; half the length of
// `line` plus two always suffices). Returns the number of arguments, argument
// 0 included, or -1 when `text` or `argv` is too small, in which case their
// contents are of no use.
int SplitCommandLine(const char* line, char* text, int textSize, char** argv, int argvSize);
