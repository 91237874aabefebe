#include "camera/cam_sony.h"

#include "core/logging.h"

// Not built yet: the storage is never mounted and requests only log.
int isMounted_sony(CameraContext*, int, int, int) { return 0; }
int mount_sony(CameraContext*, int, int, int) { return 1; }
int unmount_sony(CameraContext*, int, int, int) { return 1; }
int trigger_sony(CameraContext*, sqlite3_stmt*, int, int, int) { logPuts("vorn-camera trigger_sony not available"); return 1; }
int preflight_sony(CameraContext*, int, int, int) { return 0; }
int postflight_sony(CameraContext*, int, int, int) { return 1; }
void zoomin_sony() { logPuts("vorn-camera zoomin_sony not available"); }
void zoomout_sony() { logPuts("vorn-camera zoomout_sony not available"); }
void zoomstop_sony() { logPuts("vorn-camera zoomstop_sony not available"); }
void modestill_sony() { logPuts("vorn-camera modestill_sony not available"); }
void modemovie_sony() { logPuts("vorn-camera modemovie_sony not available"); }
