// Splitting a command line into arguments, for a system that hands the
// program one line of text: blanks and tabs separate arguments; a
// double-quoted stretch keeps its blanks and tabs and loses its quotes; a
// backslash directly before a double quote gives a literal double quote.
// "*" and "?" are never expanded.
#ifndef ZYMRAN_CMDLINE_H
#define ZYMRAN_CMDLINE_H

#include <stddef.h>

// Splits `line`. `text` must hold textLength(line) + 1 bytes and `argv`
// textLength(line) / 2 + 2 entries; the arguments are stored in `text` and
// `argv` ends with a null entry. Returns the number of arguments.
int splitCommandLine(const char* line, char* text, char** argv);

#endif
