// Driver of a Survey3 camera: powered through a relay, switched between capture and USB storage
// by servo pulses, triggered by a servo pulse.
#pragma once

#include <sqlite3.h>

#include "core/AppContext.h"

void initialize_survey3(CameraContext* cam, int fcFd, int sysId, int compId);
int isMounted_survey3(CameraContext* cam, int fcFd, int sysId, int compId);
int mount_survey3(CameraContext* cam, int fcFd, int sysId, int compId);
int unmount_survey3(CameraContext* cam, int fcFd, int sysId, int compId);
int trigger_survey3(CameraContext* cam, sqlite3_stmt* insertImageStmt, int fcFd, int sysId, int compId);
int preflight_survey3(CameraContext* cam, int fcFd, int sysId, int compId);
int postflight_survey3(CameraContext* cam, int fcFd, int sysId, int compId);

// Forgets the driver's set-up, so that the next operation finds its paths again (tests move
// the sandbox root between cases; the daemon never calls this).
void survey3_reset();
