// Shot recording and flight-controller actuation shared by the camera drivers. Every MAVLink
// message built here goes out on the camera code's own channel state, so its sequence numbers
// run independently of the other sending modules.
#pragma once

#include <sqlite3.h>

#include "core/AppContext.h"

// Stores the current GeoData as one row of table image through the prepared insertImageStmt.
// Returns 0 when the row was inserted, 1 otherwise.
int storeGeoData(CameraContext* cam, sqlite3_stmt* insertImageStmt);

// Sets a servo output to pwm µs; any value but the idle 1000 is a 200 ms pulse that ends at 1000.
// Returns 1 when the last message went into fcPipe, 0 when nothing was written or a write failed.
int momentary_pwm(int servo, int pwm, int fcFd, int sysId, int compId);

// Switches a relay output (state 1 on, 0 off). Returns 1 when the message went into fcPipe.
int set_relay(int relay, int state, int fcFd, int sysId, int compId);
