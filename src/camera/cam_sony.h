// Driver of a Sony camera, operated through the Sony camera API process over a command FIFO.
// Runs on the camera thread only; the FIFO is never waited for, so a Sony process that is not
// running never holds up the camera thread.
#pragma once

#include <sqlite3.h>

#include "core/AppContext.h"

int isMounted_sony(CameraContext* cam, int fcFd, int sysId, int compId);
int mount_sony(CameraContext* cam, int fcFd, int sysId, int compId);
int unmount_sony(CameraContext* cam, int fcFd, int sysId, int compId);
int trigger_sony(CameraContext* cam, sqlite3_stmt* insertImageStmt, int fcFd, int sysId, int compId);
int preflight_sony(CameraContext* cam, int fcFd, int sysId, int compId);
int postflight_sony(CameraContext* cam, int fcFd, int sysId, int compId);
void zoomin_sony();
void zoomout_sony();
void zoomstop_sony();
void modestill_sony();
void modemovie_sony();

// Recording requests of the movie-mode trigger: 1 when the request reached the Sony process.
int recordstart_sony();
int recordstop_sony();

// Sets the driver up on its first use: creates the command FIFO and asks for still mode.
void sony_initialize();

// Closes the command FIFO and forgets all driver state, as at process start (for tests).
void sony_reset();
