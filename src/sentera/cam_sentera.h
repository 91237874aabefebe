// Driver of a Sentera camera: a recording session from take-off to landing, and the session's
// images archived after the flight (the card itself: senteraShare).
#pragma once

#include "core/AppContext.h"

void initialize_sentera(CameraContext* cam);
// missionID: at most 32 bytes are used, a zero byte ends it earlier.
int startSession_sentera(const char* missionID);
int stopSession_sentera();
int postflight_sentera(CameraContext* cam);
