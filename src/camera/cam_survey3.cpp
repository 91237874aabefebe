#include "camera/cam_survey3.h"

#include <sys/time.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "archive/cardInventory.h"
#include "archive/filePairing.h"
#include "archive/geotagDb.h"
#include "camera/geotag.h"
#include "core/clock.h"
#include "core/logging.h"
#include "core/sandbox.h"
#include "core/shell.h"

namespace {

// Pulse widths the camera understands on its servo input.
constexpr int pwmIdle = 1000;
constexpr int pwmToggleMode = 1500; // capture mode <-> USB storage
constexpr int pwmShoot = 2000;

constexpr int mountAttempts = 6;
constexpr long attemptWaitMs = 5000;

// Driver state for the life of the process. The fixed paths resolve below the sandbox root.
std::string m_survey3MountDir;
std::string m_survey3Pattern;
char m_survey3Device[256];
char m_survey3Base[256];
char m_survey3Extension[8];
int m_isSurvey3Mounted = 0;
int m_survey3Initialized = 0;

int isSurvey3Mounted() {
    return isDevicePresent(m_survey3Device, sizeof m_survey3Device, m_survey3Pattern.c_str()) &&
           exists(m_survey3Base);
}

void survey3_initialize() {
    if (m_survey3Initialized) return;
    memset(m_survey3Device, 0, sizeof m_survey3Device);
    memset(m_survey3Base, 0, sizeof m_survey3Base);
    memset(m_survey3Extension, 0, sizeof m_survey3Extension);
    m_survey3MountDir = sandboxPath("/media/usbdrive");
    m_survey3Pattern = sandboxPath("/dev/sd%c1");
    snprintf(m_survey3Base, sizeof m_survey3Base, "%s/DCIM/Photo", m_survey3MountDir.c_str());
    snprintf(m_survey3Extension, sizeof m_survey3Extension, "JPG");
    m_isSurvey3Mounted = isSurvey3Mounted();
    m_survey3Initialized = 1;
}

double secondsSince(const timeval& start) {
    timeval now{};
    gettimeofday(&now, nullptr);
    return static_cast<double>(now.tv_sec - start.tv_sec) +
           static_cast<double>(now.tv_usec - start.tv_usec) / 1000000.0;
}

} // namespace

void survey3_reset() {
    m_survey3Initialized = 0;
    m_isSurvey3Mounted = 0;
}

void initialize_survey3(CameraContext* cam, int fcFd, int sysId, int compId) {
    survey3_initialize();
    // The relay powers the camera; give it time to come up before talking to it.
    if (set_relay(cam->relayNumber, 1, fcFd, sysId, compId)) sleepMs(attemptWaitMs);
    for (int i = 0; i < 3; ++i) {
        if (momentary_pwm(cam->triggerChannel, pwmIdle, fcFd, sysId, compId)) break;
        sleepMs(attemptWaitMs);
    }
}

int isMounted_survey3(CameraContext*, int, int, int) {
    survey3_initialize();
    return m_isSurvey3Mounted;
}

int mount_survey3(CameraContext* cam, int fcFd, int sysId, int compId) {
    survey3_initialize();
    m_isSurvey3Mounted = 0;
    bool pulseSent = false;
    for (int attempt = 0; attempt < mountAttempts; ++attempt) {
        memset(m_survey3Device, 0, sizeof m_survey3Device);
        bool device = isDevicePresent(m_survey3Device, sizeof m_survey3Device, m_survey3Pattern.c_str());
        if (device && exists(m_survey3Base)) {
            m_isSurvey3Mounted = 1;
            logPrintf("vorn-camera mount_survey3 %s is mounted\n", m_survey3Device);
            return 0;
        }
        if (device) {
            std::string cmd = "mount " + shellQuote(m_survey3Device) + " " + shellQuote(m_survey3MountDir);
            if (runShell(cmd) == 0)
                logPuts("vorn-camera mount_survey3 issued mount command");
            else
                logPuts("vorn-camera mount_survey3 failed to issue mount command");
        } else if (!pulseSent) {
            if (!momentary_pwm(cam->triggerChannel, pwmToggleMode, fcFd, sysId, compId)) {
                logPuts("vorn-camera mount_survey3 failed to write DO_SET_SERVO to outbound pipe");
                return 1;
            }
            logPuts("vorn-camera mount_survey3 sent momentary pulse");
            pulseSent = true;
        } else {
            // The camera needs a while to switch modes: a second pulse now would switch it back.
            pulseSent = false;
        }
        sleepMs(attemptWaitMs);
    }
    return 1;
}

int unmount_survey3(CameraContext* cam, int fcFd, int sysId, int compId) {
    survey3_initialize();
    for (int attempt = 0; attempt < mountAttempts; ++attempt) {
        if (exists(m_survey3Base)) {
            if (runShell("umount " + shellQuote(m_survey3MountDir)) == 0)
                logPuts("vorn-camera unmount_survey3 issued umount command");
            else
                logPuts("vorn-camera unmount_survey3 failed to issue umount command");
        } else if (!isDevicePresent(m_survey3Device, sizeof m_survey3Device, m_survey3Pattern.c_str())) {
            m_isSurvey3Mounted = 0;
            logPrintf("vorn-camera unmount_survey3 %s is unmounted\n", m_survey3MountDir.c_str());
            return 0;
        } else if (momentary_pwm(cam->triggerChannel, pwmToggleMode, fcFd, sysId, compId)) {
            // Back to capture mode, which takes the disk away.
            logPuts("vorn-camera unmount_survey3 sent momentary pulse");
        } else {
            logPuts("vorn-camera unmount_survey3 failed to write DO_SET_SERVO to outbound pipe");
        }
        sleepMs(attemptWaitMs);
    }
    // Still mounted, or the camera still in storage mode, where it takes no pictures.
    return 1;
}

int trigger_survey3(CameraContext* cam, sqlite3_stmt* insertImageStmt, int fcFd, int sysId, int compId) {
    if (!momentary_pwm(cam->triggerChannel, pwmShoot, fcFd, sysId, compId)) {
        logPuts("vorn-camera trigger_survey3 failed to write DO_SET_SERVO to oubound pipe");
        return 1;
    }
    return storeGeoData(cam, insertImageStmt);
}

int preflight_survey3(CameraContext* cam, int fcFd, int sysId, int compId) {
    int result = mount_survey3(cam, fcFd, sysId, compId);
    // Shots left from an earlier flight must never be paired with this flight's images.
    timeval start{};
    gettimeofday(&start, nullptr);
    int count = takePreflight(cam, "preflight_survey3", result == 0 ? m_survey3Base : nullptr, m_survey3Extension,
                              m_survey3MountDir.c_str(), fcFd);
    if (result == 0) {
        if (count >= 0)
            logPrintf("vorn-camera preflfight_survey3 %d unknown files in %f s\n", count, secondsSince(start));
        result = unmount_survey3(cam, fcFd, sysId, compId);
    }
    return result;
}

int postflight_survey3(CameraContext* cam, int fcFd, int sysId, int compId) {
    int result = mount_survey3(cam, fcFd, sysId, compId);
    if (result != 0) return result;
    // The card stays mounted for the ground crew; the next trigger unmounts it.
    return pairAndTagFlight(cam, "postflight_survey3", m_survey3Base, m_survey3Extension, m_survey3MountDir.c_str(),
                            fcFd);
}
