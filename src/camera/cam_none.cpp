#include "camera/cam_none.h"

#include <cstdio>

#include "archive/cardInventory.h"
#include "archive/filePairing.h"
#include "archive/geotagDb.h"
#include "core/logging.h"
#include "core/shell.h"

namespace {

char m_noneBase[256];
char m_noneExtension[8];
int m_isNoneMounted = 0;
int m_noneInitialized = 0;
int m_noneFirstTrigger = 0;

void none_initialize() {
    if (m_noneInitialized) return;
    m_noneInitialized = 1;
    std::snprintf(m_noneBase, sizeof m_noneBase, "%s", "./images");
    std::snprintf(m_noneExtension, sizeof m_noneExtension, "%s", "jpg");
    m_isNoneMounted = 0;
}

} // namespace

void initialize_none(CameraContext*, int, int, int) {
    none_initialize();
}

int isMounted_none(CameraContext*, int, int, int) {
    none_initialize();
    return m_isNoneMounted;
}

int mount_none(CameraContext*, int, int, int) {
    none_initialize();
    m_isNoneMounted = 1;
    return 0;
}

int unmount_none(CameraContext*, int, int, int) {
    none_initialize();
    m_isNoneMounted = 0;
    return 0;
}

int trigger_none(CameraContext* cam, sqlite3_stmt*, int, int, int) {
    if (m_noneFirstTrigger) return 0;
    m_noneFirstTrigger = 1;
    runShell("cp ./triggered/*.jpg ./images/");
    if (sqlite3_exec(cam->db, sql::dropImage, nullptr, nullptr, nullptr) != SQLITE_OK) {
        logPuts("vorn-camera triggerCamera failed to delete table");
        return 1;
    }
    if (sqlite3_exec(cam->db, sql::renameOrigImage, nullptr, nullptr, nullptr) != SQLITE_OK) {
        logPuts("vorn-camera triggerCamera failed to rename table");
        return 1;
    }
    return 0;
}

int preflight_none(CameraContext* cam, int fcFd, int sysId, int compId) {
    mount_none(cam, fcFd, sysId, compId);
    int unknown = takePreflight(cam, "preflight_none", m_noneBase, m_noneExtension, m_noneBase, fcFd);
    if (unknown >= 0) logPrintf("vorn-camera preflight_none %d unknown files\n", unknown);
    return unmount_none(cam, fcFd, sysId, compId);
}

int postflight_none(CameraContext* cam, int fcFd, int sysId, int compId) {
    mount_none(cam, fcFd, sysId, compId);
    int result = pairAndTagFlight(cam, "postflight_none", m_noneBase, m_noneExtension, m_noneBase, fcFd);
    int stored = storeFlightImages(cam);
    logPrintf("vorn-camera postflight_none %d image paths stored\n", stored);
    return result;
}
