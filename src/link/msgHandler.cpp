#include "link/msgHandler.h"

#include <poll.h>

#include <cmath>
#include <cstring>
#include <mutex>

#include "core/clock.h"
#include "core/liveStatus.h"
#include "core/logging.h"
#include "core/pipes.h"
#include "link/cmdFifo.h"
#include "link/companion.h"
#include "link/flightState.h"
#include "link/serialIO.h"
#include "link/sonyGps.h"

namespace {

constexpr int passTimeoutMs = 5000;
constexpr int64_t heartbeatIntervalMs = 60000;
constexpr int64_t feedbackHoldOffMs = 1000;

const char postflightFail[] = "vorn-camera msgHandler failed to write (postflight) to cameraPipe";

int requestWifiMode(AppContext* ctx, uint8_t mode) {
    WifiRequest req{};
    req.mode = mode;
    return writeWifiRequest(ctx, req);
}

// WiFi off while the vehicle is active, the access point again once it no longer is. A failed
// write leaves wifiOn as it was, so the next heartbeat asks again.
void followWifi(AppContext* ctx, FlightState* st, bool active) {
    if (active && st->wifiOn) {
        logPuts("TURNING OFF WIFI");
        if (requestWifiMode(ctx, WIFI_OFF)) st->wifiOn = false;
    } else if (!active && !st->wifiOn) {
        logPuts("TURNING ON WIFI");
        if (requestWifiMode(ctx, WIFI_ACCESS_POINT)) st->wifiOn = true;
    }
}

void onDisarm(AppContext* ctx, FlightState* st) {
    st->armed = false;
    sendLogBlockStatus(ctx, st, MAV_REMOTE_LOG_DATA_BLOCK_STOP,
                       "vorn-camera msgHandler done writing REMOTE_LOG_BLOCK_STATUS STOP msg to outbound pipe",
                       "vorn-camera msgHandler failed to write REMOTE_LOG_BLOCK_STATUS STOP msg to outbound pipe");
    logPuts("vorn-camera msgHandler starting postflight due to vehicle disarm");
    writeCameraCommand(ctx, st, CAM_POSTFLIGHT, postflightFail);
}

void onHeartbeat(AppContext* ctx, FlightState* st) {
    const mavlink_message_t* msg = &st->msg;
    if (msg->compid != 1) return; // only the flight controller's own heartbeat counts
    ctx->fcSysId = msg->sysid;
    ctx->fcCompId = msg->compid;
    uint8_t status = mavlink_msg_heartbeat_get_system_status(msg);
    st->lastSystemStatus = status;
    bool active = status == MAV_STATE_ACTIVE;

    if (active && !st->takeoffSent) {
        st->takeoffSent = writeCameraCommand(ctx, st, CAM_TAKEOFF, "vorn-camera msgHandler failed to write (takeoff) to cameraPipe");
    }
    followWifi(ctx, st, active);

    bool armedNow = (mavlink_msg_heartbeat_get_base_mode(msg) & MAV_MODE_FLAG_SAFETY_ARMED) != 0;
    setFlightPhase(armedNow, active);
    if (armedNow) st->armed = true;
    else if (st->armed) onDisarm(ctx, st);
}

void onSystemTime(FlightState* st) {
    uint64_t t = mavlink_msg_system_time_get_time_unix_usec(&st->msg);
    if (t == 0) return; // no GPS time yet
    logPrintf("vorn-camera GPS Time pre change: %lld\n", static_cast<long long>(t));
    time_change(t);
    logPrintf("vorn-camera GPS Time post change: %lld\n", static_cast<long long>(t));
    msgFilter[MAVLINK_MSG_ID_SYSTEM_TIME] = 0; // the clock is set once per run
}

void onGlobalPosition(AppContext* ctx, FlightState* st) {
    const mavlink_message_t* msg = &st->msg;
    GeoData geo;
    int32_t camType;
    {
        std::lock_guard<std::mutex> guard(ctx->camera.lock);
        GeoData& g = ctx->camera.geo;
        g.time = handlerClock();
        g.lat = mavlink_msg_global_position_int_get_lat(msg);
        g.lon = mavlink_msg_global_position_int_get_lon(msg);
        g.alt = mavlink_msg_global_position_int_get_alt(msg);
        g.heading = mavlink_msg_global_position_int_get_hdg(msg);
        geo = g;
        camType = ctx->camera.camType;
    }
    if (camType != CAMTYPE_SONY) return;
    // sonyGeo is the handler's alone: it is filled outside the lock from the values just set.
    sendSonyFix(&ctx->camera.sonyGeo, geo);
}

void onRcChannels(AppContext* ctx, FlightState* st) {
    if (st->handlerCamType != CAMTYPE_SONY) return;
    uint16_t v = mavlink_msg_rc_channels_raw_get_chan6_raw(&st->msg);
    if (v == st->lastChan6) return;
    st->lastChan6 = v;
    if (v >= 1451 && v <= 1549) writeCameraCommand(ctx, st, CAM_ZOOM_STOP, "vorn-camera msgHandler failed to write (sony_zoomstop) to cameraPipe");
    else if (v >= 1951) writeCameraCommand(ctx, st, CAM_ZOOM_IN, "vorn-camera msgHandler failed to write (sony_zoomin) to cameraPipe");
    else if (v >= 951 && v <= 1049) writeCameraCommand(ctx, st, CAM_ZOOM_OUT, "vorn-camera msgHandler failed to write (sony_zoomout) to cameraPipe");
    else logPuts("vorn-camera msgHandler undefined RC value");
}

void onCommandLong(AppContext* ctx, FlightState* st) {
    if (mavlink_msg_command_long_get_command(&st->msg) != MAV_CMD_DO_LAND_START) return;
    logPuts("vorn-camera msgHandler got DO_LAND_START");
    writeCameraCommand(ctx, st, CAM_POSTFLIGHT, postflightFail);
}

void onDigicamConfigure(AppContext* ctx, FlightState* st) {
    if (st->handlerCamType != CAMTYPE_SONY) return;
    uint8_t mode = mavlink_msg_digicam_configure_get_mode(&st->msg);
    if (mode == 10) writeCameraCommand(ctx, st, CAM_MODE_STILL, "vorn-camera msgHandler failed to write (sony_modestill) to cameraPipe");
    else if (mode == 11) writeCameraCommand(ctx, st, CAM_MODE_MOVIE, "vorn-camera msgHandler failed to write (sony_modemovie) to cameraPipe");
}

// Truncated toward zero; values no int32 can hold (NaN, infinities, huge) saturate instead of
// being undefined.
int32_t truncToInt32(float v) {
    if (std::isnan(v)) return 0;
    if (v >= 2147483648.0f) return INT32_MAX;
    if (v <= -2147483648.0f) return INT32_MIN;
    return static_cast<int32_t>(v);
}

void onCameraFeedback(AppContext* ctx, FlightState* st) {
    const mavlink_message_t* msg = &st->msg;
    logPuts("vorn-camera msgHandler got  CAMERA_FEEDBACK");
    st->lastFeedbackCheck = handlerClock();
    if (st->lastFeedbackCheck - st->lastFeedbackTrigger <= feedbackHoldOffMs) return;

    int32_t lat = mavlink_msg_camera_feedback_get_lat(msg);
    int32_t lng = mavlink_msg_camera_feedback_get_lng(msg);
    logPrintf("vorn-camera msgHandler used CAMERA_FEEDBACK.  sysid=%d, compid=%d, lat=%d, lon=%d\n", msg->sysid,
              msg->compid, lat, lng);
    {
        std::lock_guard<std::mutex> guard(ctx->camera.lock);
        GeoData& g = ctx->camera.geo;
        g.time = static_cast<int64_t>(mavlink_msg_camera_feedback_get_time_usec(msg));
        g.lat = lat;
        g.lon = lng;
        g.alt = truncToInt32(mavlink_msg_camera_feedback_get_alt_msl(msg) * 1000.0f);
        g.pitch = truncToInt32(mavlink_msg_camera_feedback_get_pitch(msg) * 100.0f);
        g.roll = truncToInt32(mavlink_msg_camera_feedback_get_roll(msg) * 100.0f);
        g.yaw = truncToInt32(mavlink_msg_camera_feedback_get_yaw(msg) * 100.0f);
    }
    if (writeCameraCommand(ctx, st, CAM_TRIGGER, "vorn-camera msgHandler failed to write to cameraPipe"))
        st->lastFeedbackTrigger = st->lastFeedbackCheck;
}

void onStatusText(AppContext* ctx, FlightState* st) {
    const mavlink_message_t* msg = &st->msg;
    char text[64] = {};
    mavlink_msg_statustext_get_text(msg, text);
    uint8_t severity = mavlink_msg_statustext_get_severity(msg);
    logPrintf("vorn-camera msgHandler sysid=%d, compid=%d, severity=%d, text=%s\n", msg->sysid, msg->compid,
              severity, text);
    if (severity != MAV_SEVERITY_INFO) return;
    if (strncmp(text, "Armed Auto", 9) == 0) {
        logPuts("vorn-camera msgHandler got Armed Auto");
    } else if (strncmp(text, "Executing command ID #189", 25) == 0) {
        logPuts("vorn-camera msgHandler text msg for DO_LAND_START");
        writeCameraCommand(ctx, st, CAM_POSTFLIGHT, postflightFail);
    }
}

// Ids whose traffic is too frequent or too dull for the per-message log line.
bool isQuietId(uint32_t id) {
    switch (id) {
    case MAVLINK_MSG_ID_HEARTBEAT:
    case MAVLINK_MSG_ID_SYS_STATUS:
    case MAVLINK_MSG_ID_SYSTEM_TIME:
    case MAVLINK_MSG_ID_GLOBAL_POSITION_INT:
    case MAVLINK_MSG_ID_RC_CHANNELS_RAW:
    case MAVLINK_MSG_ID_REMOTE_LOG_DATA_BLOCK:
    case MAVLINK_MSG_ID_STATUSTEXT:
        return true;
    default:
        return false;
    }
}

void handleMessage(AppContext* ctx, FlightState* st) {
    const mavlink_message_t* msg = &st->msg;
    uint32_t id = msg->msgid;
    if (!isQuietId(id))
        logPrintf("vorn-camera msgHandler ID %d, sequence: %d to component %d, system %d\n", static_cast<int>(id),
                  msg->seq, msg->compid, msg->sysid);
    switch (id) {
    case MAVLINK_MSG_ID_HEARTBEAT: onHeartbeat(ctx, st); break;
    case MAVLINK_MSG_ID_SYSTEM_TIME: onSystemTime(st); break;
    case MAVLINK_MSG_ID_GLOBAL_POSITION_INT: onGlobalPosition(ctx, st); break;
    case MAVLINK_MSG_ID_RC_CHANNELS_RAW: onRcChannels(ctx, st); break;
    case MAVLINK_MSG_ID_COMMAND_LONG: onCommandLong(ctx, st); break;
    case MAVLINK_MSG_ID_DIGICAM_CONFIGURE: onDigicamConfigure(ctx, st); break;
    case MAVLINK_MSG_ID_DATA96: handleData96(ctx, st); break;
    case MAVLINK_MSG_ID_CAMERA_FEEDBACK: onCameraFeedback(ctx, st); break;
    case MAVLINK_MSG_ID_REMOTE_LOG_DATA_BLOCK:
        if (!pipeWrite(ctx->logPipe[1], sizeof *msg, msg))
            logPuts("vorn-camera msgHandler failed to write (REMOTE_LOG_DATA_BLOCK) to logPipe");
        break;
    case MAVLINK_MSG_ID_REMOTE_LOG_BLOCK_STATUS: logPuts("vorn-camera msgHandler got REMOTE_LOG_BLOCK_STATUS"); break;
    case MAVLINK_MSG_ID_STATUSTEXT: onStatusText(ctx, st); break;
    default: break;
    }
}

// Without a modem nothing else tells the flight controller that a companion is there.
void sendOwnHeartbeat(AppContext* ctx, FlightState* st) {
    if (ctx->useModem != 0 || st->loopTime - st->lastHeartbeatSent <= heartbeatIntervalMs) return;
    st->lastHeartbeatSent = st->loopTime;
    mavlink_message_t out{};
    mavlink_msg_heartbeat_pack_chan(OWN_SYSID, OWN_COMPID, &st->channel, &out, MAV_TYPE_FIXED_WING,
                                    MAV_AUTOPILOT_GENERIC, 220, 0, MAV_STATE_ACTIVE);
    if (!msgWrite(ctx->fcPipe[1], &out)) logPuts("vorn-camera msgHandler failed to write heartbeat to outbound pipe");
}

bool isReadable(const pollfd& p) {
    return (p.revents & (POLLIN | POLLHUP | POLLERR)) != 0;
}

// One pass: wait for a message, a command or the stop, handle at most one message and one command.
void runPass(AppContext* ctx, FlightState* st, CmdFifo* fifo) {
    cmdFifoHousekeeping(fifo);
    pollfd fds[3] = {{ctx->msgPipe[0], POLLIN, 0}, {fifo->fd, POLLIN, 0}, {ctx->stopPipe[0], POLLIN, 0}};
    int n = poll(fds, 3, passTimeoutMs);
    if (n <= 0 || ctx->quit) return;

    if (isReadable(fds[0])) {
        std::memset(&st->msg, 0, sizeof st->msg);
        if (msgRead(ctx->msgPipe[0], &st->msg)) handleMessage(ctx, st);
        else logPuts("vorn-camera msgHandler failed to read from msgPipe");
    }
    if (fifo->fd >= 0 && isReadable(fds[1])) cmdFifoRead(ctx, st, fifo);

    st->loopTime = handlerClock();
    sendOwnHeartbeat(ctx, st);
}

} // namespace

void msgHandlerThread(AppContext* ctx) {
    if (!ctx) {
        logPuts("vorn-camera msgHandler exit");
        return;
    }
    logPuts("vorn-camera msgHandler started...");
    FlightState st;
    {
        std::lock_guard<std::mutex> guard(ctx->camera.lock);
        ctx->camera.camType = 0;
    }
    initMsgFilters();
    initialize_SonyGeo(&ctx->camera.sonyGeo);
    cmdFifoRemove();

    CmdFifo fifo;
    while (ctx->quit == 0) runPass(ctx, &st, &fifo);
    cmdFifoClose(&fifo);
    logPuts("vorn-camera msgHandler exit");
}
