#include "camera/cam_survey3.h"

#include "core/logging.h"

// Not built yet: every operation logs and reports that nothing was done.
void initialize_survey3(CameraContext*, int, int, int) {}
int isMounted_survey3(CameraContext*, int, int, int) { return 0; }
int mount_survey3(CameraContext*, int, int, int) { logPuts("vorn-camera mount_survey3 not available"); return 1; }
int unmount_survey3(CameraContext*, int, int, int) { return 1; }
int trigger_survey3(CameraContext*, sqlite3_stmt*, int, int, int) { logPuts("vorn-camera trigger_survey3 not available"); return 1; }
int preflight_survey3(CameraContext*, int, int, int) { return 1; }
int postflight_survey3(CameraContext*, int, int, int) { return 1; }
