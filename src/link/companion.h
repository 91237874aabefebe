// The companion protocol with the ground station, carried in DATA96 messages.
#pragma once

#include <cstdint>

#include "core/AppContext.h"
#include "link/flightState.h"

// Acts on the DATA96 message in st->msg (a request of the ground station).
void handleData96(AppContext* ctx, FlightState* st);

// The software version number from the version file, low 16 bits; 0 when there is none.
uint16_t readVersionNumber();

// Reads the version number and sends the SOFTWARE_VERSION_INFO reply to the flight controller.
void sendSoftwareVersionInfo(AppContext* ctx, FlightState* st);
