// The local command path: one-word text commands written by local programs or an operator to
// a named pipe or a plain file, read by the message handler thread.
#pragma once

#include "core/AppContext.h"
#include "link/flightState.h"

struct CmdFifo {
    int fd = -1;           // command source, -1 while closed
    int openFailures = 0;  // rate limit of the failed-open message
};

// Deletes whatever is left at the command path from an earlier run.
void cmdFifoRemove();

// Opens the command source once something exists at the path. Never blocks: a named pipe is
// opened non-blocking whether or not a writer has it open yet.
void cmdFifoHousekeeping(CmdFifo* fifo);

// Handles one read of the open source: one command, or the end of the source (closed and
// its path deleted).
void cmdFifoRead(AppContext* ctx, FlightState* st, CmdFifo* fifo);

// Closes the source, leaving the path alone (at the thread's end).
void cmdFifoClose(CmdFifo* fifo);
