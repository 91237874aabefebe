#include "sentera/cam_sentera.h"

#include "core/logging.h"

// Not built yet: every operation logs and reports that nothing was done.
void sentera_initialize() {}
void initialize_sentera(CameraContext*) {}
int isSenteraMounted() { return 0; }
int isMounted_sentera() { return 0; }
int mount_sentera() { logPuts("vorn-camera mount_sentera not available"); return 1; }
int unmount_sentera() { return 0; }
int startSession_sentera(const char*) { logPuts("vorn-camera startSession_sentera not available"); return 1; }
int stopSession_sentera() { logPuts("vorn-camera stopSession_sentera not available"); return 1; }
int postflight_sentera(CameraContext*) { logPuts("vorn-camera postflight_sentera not available"); return -1; }
