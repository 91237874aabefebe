// Driver of a Sentera camera: a recording session from take-off to landing, the camera's SD
// card mounted over the network, and the session's images archived after the flight.
#pragma once

#include "core/AppContext.h"

void sentera_initialize();
void initialize_sentera(CameraContext* cam);
int isSenteraMounted();
int isMounted_sentera();
int mount_sentera();
int unmount_sentera();
int startSession_sentera(const char* missionID);
int stopSession_sentera();
int postflight_sentera(CameraContext* cam);
