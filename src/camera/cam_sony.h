// Driver of a Sony camera, operated through the Sony camera API process over a command FIFO.
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
