// Camera-less driver: runs the camera chain without a camera. Its card is ./images; the first
// trigger of the process installs a prepared data set (the images of ./triggered and the shots
// of table origImage), which postflight then pairs, tags and archives like a real flight.
#pragma once

#include <sqlite3.h>

#include "core/AppContext.h"

void initialize_none(CameraContext* cam, int fcFd, int sysId, int compId);
int isMounted_none(CameraContext* cam, int fcFd, int sysId, int compId);
int mount_none(CameraContext* cam, int fcFd, int sysId, int compId);
int unmount_none(CameraContext* cam, int fcFd, int sysId, int compId);
int trigger_none(CameraContext* cam, sqlite3_stmt* insertImageStmt, int fcFd, int sysId, int compId);
int preflight_none(CameraContext* cam, int fcFd, int sysId, int compId);
int postflight_none(CameraContext* cam, int fcFd, int sysId, int compId);
