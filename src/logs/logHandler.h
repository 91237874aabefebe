// The log thread: receives the flight controller's dataflash log as numbered 200-byte blocks
// through logPipe, stores each at its place in the current log file and acknowledges it.
#pragma once

#include <cstdint>

#include "core/AppContext.h"
#include "mavlink/mavlink_types.h"

void logHandlerThread(AppContext* ctx);

// Sends the flight controller REMOTE_LOG_BLOCK_STATUS with status ACK for seqno (a block, or
// the start or stop of the stream) on the sender's channel. 1 when written to fcPipe, else 0.
int writeBlockStatus(AppContext* ctx, mavlink_channel_t* chan, uint32_t seqno);

// Asks the flight controller to start streaming its log. 0 when the request went to fcPipe, 1 when not.
int requestLogStart(AppContext* ctx);

// Acknowledges block seqno. 0 when the acknowledgement went to fcPipe, 1 when not.
int sendACK(AppContext* ctx, uint32_t seqno);
