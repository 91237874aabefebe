// Daemon log: each call formats one whole line and writes it with a single write, so the
// lines of six threads never interleave.
#pragma once

// Writes the formatted text exactly as given (printf-like).
void logPrintf(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// Writes the text followed by a newline (puts-like).
void logPuts(const char* text);

// Writes the formatted text to standard error.
void errPrintf(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
