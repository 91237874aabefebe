// The dataflash log directory: numbered log files, removal of empty ones, and trimming of the
// directory to a byte limit by deleting the oldest files. Only the log thread calls these.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>

// A growable string: a text or none. The helpers replace the whole text.
using GrowStr = std::optional<std::string>;

// Formats into the holder (format "%s" when none is given) and returns the new text. Without a
// holder the text is only returned. On a formatting failure the holder is emptied, a line is
// logged and none is returned.
GrowStr formatStr(GrowStr* holder, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
GrowStr formatStrV(GrowStr* holder, const char* fmt, va_list args) __attribute__((format(printf, 2, 0)));
GrowStr copyStr(GrowStr* holder, const char* text);

// 1 when time a is earlier than time b, else 0.
int timespec_Less_Than(time_t aSec, long aNsec, time_t bSec, long bNsec);

// The log directory, with its trailing '/'.
std::string logDirectory();

// Creates the next numbered log file, empty, and returns its path; none on failure. Entries
// that are not log files are skipped (one line each) and do not count.
GrowStr getLogFilePath();

// Deletes the log files of 0 bytes. 1 on success, 0 on failure.
int removeEmptyLogs();

// Deletes the oldest files until the directory holds at most limit bytes. 1 on success, 0 on failure.
int removeOldLogs(int32_t limit);

// Deletes the file with the oldest modification time and returns its size (0 for an empty
// file), or -1 on failure.
int64_t deleteOldestLog();
