#include "core/logging.h"

#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <string>

#include "core/fileIo.h"

namespace {

void vwriteFormatted(int fd, const char* fmt, va_list args) {
    char small[512];
    va_list copy;
    va_copy(copy, args);
    int n = vsnprintf(small, sizeof small, fmt, copy);
    va_end(copy);
    if (n < 0) return;
    if (static_cast<size_t>(n) < sizeof small) {
        writeAll(fd, small, static_cast<size_t>(n));
        return;
    }
    std::string big(static_cast<size_t>(n) + 1, '\0');
    vsnprintf(big.data(), big.size(), fmt, args);
    writeAll(fd, big.data(), static_cast<size_t>(n));
}

} // namespace

void logPrintf(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    vwriteFormatted(STDOUT_FILENO, fmt, args);
    va_end(args);
}

void logPuts(const char* text) {
    logPrintf("%s\n", text);
}

void errPrintf(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    vwriteFormatted(STDERR_FILENO, fmt, args);
    va_end(args);
}
