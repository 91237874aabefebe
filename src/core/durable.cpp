#include "core/durable.h"

#include <fcntl.h>
#include <unistd.h>

#include "core/handles.h"

std::string directoryOf(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

bool syncPath(const std::string& path) {
    FdPtr fd{open(path.c_str(), O_RDONLY | O_CLOEXEC)};
    return fd && fsync(fd.get()) == 0;
}
