#include "camera/cam_kernel.h"

#include "core/logging.h"

// Not built yet: every operation logs and reports that nothing was done.
void initialize_kernel(CameraContext*, int, int, int) {}
int isMounted_kernel(CameraContext*, int, int, int) { return 0; }
int mount_kernel(CameraContext*, int, int, int) { logPuts("vorn-camera mount_kernel not available"); return 1; }
int unmount_kernel(CameraContext*, int, int, int) { return 1; }
int trigger_kernel(CameraContext*, sqlite3_stmt*, int, int, int) { logPuts("vorn-camera trigger_kernel not available"); return 1; }
int preflight_kernel(CameraContext*, int, int, int) { return 1; }
int postflight_kernel(CameraContext*, int, int, int) { return 1; }
