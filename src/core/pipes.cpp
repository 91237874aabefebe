#include "core/pipes.h"

#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>

#include "core/fileIo.h"

namespace {

void discard(int fd, size_t len) {
    uint8_t sink[512];
    while (len > 0) {
        size_t chunk = len < sizeof sink ? len : sizeof sink;
        if (!readAll(fd, sink, chunk)) return;
        len -= chunk;
    }
}

} // namespace

int pipeWrite(int fd, uint16_t len, const void* buf) {
    uint8_t header[2] = {static_cast<uint8_t>(len >> 8), static_cast<uint8_t>(len & 0xFF)};
    iovec parts[2] = {{header, 2}, {const_cast<void*>(buf), len}};
    ssize_t n;
    do {
        n = writev(fd, parts, 2);
    } while (n < 0 && errno == EINTR);
    return n == static_cast<ssize_t>(len) + 2 ? 1 : 0;
}

int pipeRead(int fd, void* buf, size_t bufSize) {
    uint8_t header[2];
    if (!readAll(fd, header, 2)) return 0;
    size_t len = (static_cast<size_t>(header[0]) << 8) | header[1];
    if (len > bufSize) {
        discard(fd, len);
        return 0;
    }
    return readAll(fd, buf, len) ? 1 : 0;
}

int msgWrite(int fd, const mavlink_message_t* msg) {
    return pipeWrite(fd, static_cast<uint16_t>(12 + msg->len), msg);
}

int msgRead(int fd, mavlink_message_t* msg) {
    return pipeRead(fd, msg, sizeof *msg);
}
