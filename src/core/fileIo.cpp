#include "core/fileIo.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "core/handles.h"

bool readAll(int fd, void* buf, size_t len) {
    auto* p = static_cast<uint8_t*>(buf);
    for (size_t got = 0; got < len;) {
        ssize_t n = read(fd, p + got, len - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        got += static_cast<size_t>(n);
    }
    return true;
}

bool writeAll(int fd, const void* data, size_t len) {
    const auto* p = static_cast<const uint8_t*>(data);
    for (size_t done = 0; done < len;) {
        ssize_t n = write(fd, p + done, len - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

std::string directoryOf(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

bool syncPath(const std::string& path) {
    FdPtr fd{open(path.c_str(), O_RDONLY | O_CLOEXEC)};
    return fd && fsync(fd.get()) == 0;
}
