// Driver of a Kernel camera: switched between capture and USB storage over USB HID,
// triggered by a servo pulse on output 12.
#pragma once

#include <sqlite3.h>

#include "core/AppContext.h"

void initialize_kernel(CameraContext* cam, int fcFd, int sysId, int compId);
int isMounted_kernel(CameraContext* cam, int fcFd, int sysId, int compId);
int mount_kernel(CameraContext* cam, int fcFd, int sysId, int compId);
int unmount_kernel(CameraContext* cam, int fcFd, int sysId, int compId);
int trigger_kernel(CameraContext* cam, sqlite3_stmt* insertImageStmt, int fcFd, int sysId, int compId);
int preflight_kernel(CameraContext* cam, int fcFd, int sysId, int compId);
int postflight_kernel(CameraContext* cam, int fcFd, int sysId, int compId);
