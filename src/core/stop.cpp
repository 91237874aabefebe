#include "core/stop.h"

#include <poll.h>
#include <unistd.h>

void requestStop(AppContext* ctx) {
    ctx->quit = 1;
    if (ctx->stopPipe[1] < 0) return;
    // A failed write needs nothing more: only a full pipe refuses it, and that is readable too.
    [[maybe_unused]] ssize_t written = write(ctx->stopPipe[1], "", 1);
}

bool waitReadable(const AppContext* ctx, int fd, int timeoutMs) {
    pollfd fds[2] = {{fd, POLLIN, 0}, {ctx->stopPipe[0], POLLIN, 0}};
    return poll(fds, 2, timeoutMs) > 0 && (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0;
}
