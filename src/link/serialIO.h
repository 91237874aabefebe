// The serial link: owns the flight-controller port and the optional telemetry modem port,
// bridges their bytes to each other, hands the few messages the daemon cares about to the
// message handler on msgPipe and sends everything written to fcPipe to the flight controller.
#pragma once

#include <atomic>
#include <cstdint>

#include "core/AppContext.h"
#include "mavlink/mavlink_types.h"

// Pass flags by message id: non-zero lets a parsed message through to the message handler.
// msgFilter is for the flight controller's port, msgModemFilter for the modem's. Written by the
// message handler, read here without a lock.
extern std::atomic<uint8_t> msgFilter[256];
extern std::atomic<uint8_t> msgModemFilter[256];

// Fills both tables with the messages the daemon handles. The message handler calls this first
// thing when its thread starts; the tables also hold these contents from program start.
void initMsgFilters();

// 0 when a parsed message is to be passed on, 1 when it is dropped. COMMAND_LONG passes only
// as DO_LAND_START (189); ids above 255 never pass.
int filterMsg(const mavlink_message_t* msg);
int filterModemMsg(const mavlink_message_t* msg);

void serialIOThread(AppContext* ctx);
