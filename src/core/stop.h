// Stopping the daemon. A stop sets quit and puts one byte into stopPipe, whose read end stays
// readable from then on: every thread includes it in its wait and so sees the stop at once.
#pragma once

#include "core/AppContext.h"

// Safe to call from a signal handler.
void requestStop(AppContext* ctx);

// Waits up to timeoutMs for fd to become readable; false on a timeout, an error or a stop.
bool waitReadable(const AppContext* ctx, int fd, int timeoutMs);
