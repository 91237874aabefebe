// Helpers for files that must survive a power cut: what was written is on the disk before the
// daemon goes on.
#pragma once

#include <string>

// The directory part of a path ("." for a bare name).
std::string directoryOf(const std::string& path);

// Flushes the file or directory at path to its disk; false (errno set) when it cannot.
bool syncPath(const std::string& path);
