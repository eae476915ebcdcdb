// Output to standard output.
#pragma once

// Writes `text` to standard output with GetStdHandle and WriteFile. Like the
// text mode of a C runtime on Windows, every "\n" goes out as "\r\n".
// Returns 1 when everything was written, 0 otherwise.
int PrintText(const char* text);
