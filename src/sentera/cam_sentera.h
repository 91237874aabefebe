// Driver of a Sentera camera: a recording session from take-off to landing, the camera's SD
// card mounted over the network, and the session's images archived after the flight.
#pragma once

#include "core/AppContext.h"

// Where the camera's card share is mounted (a fixed path, resolved through sandboxPath).
inline constexpr const char* senteraMountPoint = "/media/usbdrive";

void sentera_initialize();
void initialize_sentera(CameraContext* cam);
int isSenteraMounted();
int isMounted_sentera();
int mount_sentera();
int unmount_sentera();
// missionID: at most 32 bytes are used, a zero byte ends it earlier.
int startSession_sentera(const char* missionID);
int stopSession_sentera();
int postflight_sentera(CameraContext* cam);
