// Whole reads and writes on file descriptors, and flushing what was written to the disk, for
// files that must survive a power cut.
#pragma once

#include <cstddef>
#include <string>

// Reads exactly len bytes; false when the writer closed or an error occurred (errno tells).
bool readAll(int fd, void* buf, size_t len);

// Writes all len bytes; false on an error (errno tells).
bool writeAll(int fd, const void* data, size_t len);

// The directory part of a path ("." for a bare name).
std::string directoryOf(const std::string& path);

// Flushes the file or directory at path to its disk; false (errno set) when it cannot.
bool syncPath(const std::string& path);
