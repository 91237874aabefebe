// The acknowledgements of the flight controller's log stream: the message handler answers the
// stream's start and stop, the log thread each block.
#pragma once

#include <cstdint>

#include "core/AppContext.h"
#include "mavlink/mavlink_types.h"

// Sends the flight controller REMOTE_LOG_BLOCK_STATUS with status ACK for seqno (a block, or
// the start or stop of the stream) on the sender's channel. 1 when written to fcPipe, else 0.
int writeBlockStatus(AppContext* ctx, mavlink_channel_t* chan, uint32_t seqno);
