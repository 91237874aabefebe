#include "camera/geotag.h"

#include "core/clock.h"
#include "core/geoData.h"
#include "core/logging.h"
#include "core/pipes.h"
#include "core/userMessage.h"
#include "mavlink/mavlink.h"

namespace {

// Sequence state of every message the camera code sends (used on the camera thread only).
mavlink_channel_t g_cameraChannel{};

constexpr long servoPulseMs = 200;
constexpr int servoIdle = 1000;

int sendCommand(int fcFd, int sysId, int compId, uint16_t command, int param1, int param2) {
    mavlink_message_t msg{};
    mavlink_msg_command_long_pack_chan(OWN_SYSID, OWN_COMPID, &g_cameraChannel, &msg,
                                       static_cast<uint8_t>(sysId), static_cast<uint8_t>(compId), command, 0,
                                       static_cast<float>(param1), static_cast<float>(param2), 0, 0, 0, 0, 0);
    return msgWrite(fcFd, &msg);
}

// A lost shot is a gap in the survey: the crew must know before they leave the field.
int shotNotStored(int rc) {
    logPrintf("vorn-camera storeGeoData failed, rc=%d\n", rc);
    warnGround(GroundWarning::ShotNotStored, "shot not stored: %s", sqlite3_errstr(rc));
    return 1;
}

} // namespace

int storeGeoData(CameraContext* cam, sqlite3_stmt* insertImageStmt) {
    GeoData geo;
    copyGeoData(cam, &geo);
    int64_t now = current_timestamp();
    if (!insertImageStmt) return shotNotStored(SQLITE_MISUSE);
    sqlite3_bind_int64(insertImageStmt, 1, now);
    sqlite3_bind_int(insertImageStmt, 2, geo.lat);
    sqlite3_bind_int(insertImageStmt, 3, geo.lon);
    sqlite3_bind_int(insertImageStmt, 4, geo.pitch);
    sqlite3_bind_int(insertImageStmt, 5, geo.roll);
    sqlite3_bind_int(insertImageStmt, 6, geo.yaw);
    sqlite3_bind_int(insertImageStmt, 7, geo.heading);
    sqlite3_bind_int(insertImageStmt, 8, geo.alt);
    sqlite3_bind_int(insertImageStmt, 9, 0);
    sqlite3_bind_text(insertImageStmt, 10, "", 0, SQLITE_TRANSIENT);
    int rc = sqlite3_step(insertImageStmt);
    sqlite3_reset(insertImageStmt);
    if (rc != SQLITE_DONE) return shotNotStored(rc);
    return 0;
}

int momentary_pwm(int servo, int pwm, int fcFd, int sysId, int compId) {
    if (fcFd == -1) return 0;
    logPrintf("vorn-camera trigger momentary_pwm servo=%d, value=%d\n", servo, pwm);
    int result = sendCommand(fcFd, sysId, compId, MAV_CMD_DO_SET_SERVO, servo, pwm);
    if (result && pwm != servoIdle) {
        sleepMs(servoPulseMs);
        result = sendCommand(fcFd, sysId, compId, MAV_CMD_DO_SET_SERVO, servo, servoIdle);
    }
    return result;
}

int set_relay(int relay, int state, int fcFd, int sysId, int compId) {
    if (fcFd == -1) return 0;
    logPrintf("vorn-camera set_relay: relay=%d, state=%d\n", relay, state);
    return sendCommand(fcFd, sysId, compId, MAV_CMD_DO_SET_RELAY, relay, state);
}
