#include "sentera/cam_sentera.h"

#include <cstring>
#include <string>

#include "core/clock.h"
#include "core/logging.h"
#include "sentera/cam_sentera_archive.h"
#include "sentera/cam_sentera_utils.h"
#include "sentera/senteraShare.h"

namespace {

constexpr int sessionAttempts = 5;
constexpr long sessionStartWaitMs = 8000;
constexpr long sessionStopWaitMs = 5000;

} // namespace

void initialize_sentera(CameraContext*) {
    sentera_initialize();
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
