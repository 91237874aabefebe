// The message handler thread: turns flight-controller messages, ground requests (DATA96) and
// local commands into work for the camera, WiFi and log threads and messages to the flight
// controller.
#pragma once

#include "core/AppContext.h"

void msgHandlerThread(AppContext* ctx);
