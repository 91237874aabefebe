// The log thread: receives the flight controller's dataflash log as numbered 200-byte blocks
// through logPipe, stores each at its place in the current log file and acknowledges it.
#pragma once

#include <cstdint>

#include "core/AppContext.h"

void logHandlerThread(AppContext* ctx);

// Asks the flight controller to start streaming its log. 0 when the request went to fcPipe, 1 when not.
int requestLogStart(AppContext* ctx);

// Acknowledges block seqno. 0 when the acknowledgement went to fcPipe, 1 when not.
int sendACK(AppContext* ctx, uint32_t seqno);
