#include "sentera/cam_sentera.h"

#include <cstring>
#include <string>

#include "archive/cardInventory.h"
#include "core/clock.h"
#include "core/logging.h"
#include "core/sandbox.h"
#include "core/shell.h"
#include "sentera/cam_sentera_archive.h"
#include "sentera/cam_sentera_utils.h"

namespace {

constexpr int sessionAttempts = 5;
constexpr long sessionStartWaitMs = 8000;
constexpr long sessionStopWaitMs = 5000;
constexpr int mountAttempts = 5;
constexpr long mountWaitMs = 5000;

int m_senteraInitialized = 0;
std::string m_senteraDevice;   // the card share, //HOST/sdcard
std::string m_senteraMountDir; // where it is mounted
std::string m_senteraBase;     // the snapshot directory, visible once the share is mounted
int m_isSenteraMounted = 0;

} // namespace

void sentera_initialize() {
    if (m_senteraInitialized) return;
    m_senteraInitialized = 1;
    m_senteraDevice = "//" + senteraHost() + "/sdcard";
    m_senteraMountDir = sandboxPath(senteraMountPoint);
    m_senteraBase = m_senteraMountDir + "/snapshots";
    // A share still mounted from an earlier run counts as mounted.
    m_isSenteraMounted = isSenteraMounted();
}

void initialize_sentera(CameraContext*) {
    sentera_initialize();
}

int isSenteraMounted() {
    sentera_initialize();
    return exists(m_senteraBase.c_str());
}

int isMounted_sentera() {
    sentera_initialize();
    return m_isSenteraMounted;
}

int mount_sentera() {
    sentera_initialize();
    m_isSenteraMounted = 0;
    // The share counts as mounted only when its snapshot directory shows, whatever mount said.
    for (int attempt = 0;; ++attempt) {
        if (exists(m_senteraBase.c_str())) {
            m_isSenteraMounted = 1;
            logPrintf("vorn-camera mount_sentera %s is mounted\n", m_senteraDevice.c_str());
            return 0;
        }
        if (attempt == mountAttempts) return 1;
        std::string command = "mount -t cifs -o username=ostrel,password= " + shellQuote(m_senteraDevice) + " " +
                              shellQuote(m_senteraMountDir);
        if (runShell(command) != 0)
            logPuts("vorn-camera mount_sentera failed to issue mount command");
        else
            logPuts("vorn-camera mount_sentera issued mount command");
        sleepMs(mountWaitMs);
    }
}

int unmount_sentera() {
    // The share stays mounted: the images are read from it after the flight.
    return 0;
}

int startSession_sentera(const char* missionID) {
    std::string session(missionID, strnlen(missionID, sizeof CameraContext::missionID));
    logPuts("vorn-camera startSession_sentera");
    SenteraSessionState state = SESSION_FAILED;
    // Only the state read back counts; the camera may take a while to report a started session.
    for (int attempt = 0; attempt < sessionAttempts && state != SESSION_STARTED; ++attempt) {
        sessionControl(1, session.c_str());
        sleepMs(sessionStartWaitMs);
        std::string name;
        state = checkSenteraSession(&name);
    }
    if (state == SESSION_STARTED) {
        logPrintf("vorn-camera startSession_sentera successfully started session %s\n", session.c_str());
        return 0;
    }
    logPrintf("vorn-camera startSession_sentera failed to start session %s\n", session.c_str());
    return 1;
}

int stopSession_sentera() {
    logPuts("vorn-camera stopSession_sentera");
    SenteraSessionState state = SESSION_FAILED;
    for (int attempt = 0; attempt < sessionAttempts && state != SESSION_IDLE; ++attempt) {
        sessionControl(0, nullptr);
        sleepMs(sessionStopWaitMs);
        std::string name;
        state = checkSenteraSession(&name);
    }
    if (state == SESSION_IDLE) {
        logPuts("vorn-camera stopSession_sentera successfully stopped session");
        return 0;
    }
    logPuts("vorn-camera stopSession_sentera failed to stop session");
    return 1;
}

int postflight_sentera(CameraContext* cam) {
    // The flight that landed: its fields are read once, before the long stop attempts.
    CameraContext flight;
    copySenteraFlight(cam, &flight);
    stopSession_sentera();
    if (missionIdLength(flight.missionID) == 0) {
        logPuts("vorn-camera postflight_sentera DID NOT START storeSenteraImagesSamba");
        return 0;
    }
    int stored = storeSenteraImagesSamba(&flight);
    logPrintf("vorn-camera postflight_sentera %d image paths stored\n", stored);
    return stored == -1 ? -1 : 0;
}
