#include "link/companion.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "core/handles.h"
#include "core/logging.h"
#include "core/pipes.h"
#include "core/sandbox.h"
#include "core/userMessage.h"

namespace {

const char versionPath[] = "/root/vorn/version";

template <typename T>
T readLittleEndian(const uint8_t* p) {
    T value;
    std::memcpy(&value, p, sizeof value); // the target is little-endian, as the protocol
    return value;
}

void onWifi(AppContext* ctx, const mavlink_data96_t& d) {
    logPuts("vorn-camera msgHandler got COMPANION_COMPUTER_WIFI");
    WifiRequest req{};
    req.mode = d.data[0];
    std::memcpy(req.ssid, d.data + 1, 32);
    std::memcpy(req.password, d.data + 33, 32);
    writeWifiRequest(ctx, req);
}

void onUsb(AppContext* ctx, FlightState* st, const mavlink_data96_t& d) {
    logPuts("vorn-camera msgHandler COMPANION_COMPUTER_USB");
    {
        std::lock_guard<std::mutex> guard(ctx->camera.lock);
        ctx->camera.flightID = readLittleEndian<int16_t>(d.data + 1);
        logPrintf("vorn-camera msgHandler got COMPANION_COMPUTER_USB flightID: %d\n",
                  static_cast<uint16_t>(ctx->camera.flightID));
    }
    const char* failMsg = "vorn-camera msgHandler failed to write (usb cmd) to cameraPipe";
    if (d.data[0] == 1) writeCameraCommand(ctx, st, CAM_UNMOUNT, failMsg);
    // No attaching the camera's storage in flight.
    else if (d.data[0] == 2 && st->lastSystemStatus != MAV_STATE_ACTIVE) writeCameraCommand(ctx, st, CAM_MOUNT, failMsg);
}

void onPreflight(AppContext* ctx, FlightState* st, const mavlink_data96_t& d) {
    logPuts("vorn-camera msgHandler COMPANION_COMPUTER_PREFLIGHT");
    if (d.data[40] < CAMTYPE_NONE || d.data[40] > CAMTYPE_SENTERA) { // its shots would go nowhere
        warnGround(GroundWarning::UnknownCamera, "camera type %d unknown: preflight refused", d.data[40]);
        return;
    }
    {
        std::lock_guard<std::mutex> guard(ctx->camera.lock);
        ctx->camera.flightTime = readLittleEndian<int64_t>(d.data);
        std::memcpy(ctx->camera.missionID, d.data + 8, sizeof ctx->camera.missionID);
        ctx->camera.camType = d.data[40];
    }
    st->handlerCamType = d.data[40];
    logPrintf("vorn-camera msgHandler do preflight processing, camType=%d\n", st->handlerCamType);
    writeCameraCommand(ctx, st, CAM_PREFLIGHT, "vorn-camera msgHandler failed to write (preflight) to cameraPipe");
    // The log thread starts a new log file on this request.
    if (!pipeWrite(ctx->logPipe[1], sizeof st->msg, &st->msg))
        logPuts("vorn-camera msgHandler failed to write (MAVLINK_MSG_ID_HEARTBEAT) to logPipe");
}

void onCameraMode(AppContext* ctx, FlightState* st, const mavlink_data96_t& d) {
    logPuts("vorn-camera msgHandler got CAMERA_MODE");
    if (st->handlerCamType != CAMTYPE_SONY) return;
    if (d.data[0] == 10) {
        logPuts("vorn-camera msgHandler got CAMERA_MODE: ModeStill");
        writeCameraCommand(ctx, st, CAM_MODE_STILL, "vorn-camera msgHandler failed to write (sony_modestill) to cameraPipe");
    } else if (d.data[0] == 11) {
        logPuts("vorn-camera msgHandler got CAMERA_MODE: ModeMovie");
        writeCameraCommand(ctx, st, CAM_MODE_MOVIE, "vorn-camera msgHandler failed to write (sony_modemovie) to cameraPipe");
    }
}

} // namespace

void handleData96(AppContext* ctx, FlightState* st) {
    mavlink_data96_t d{};
    mavlink_msg_data96_decode(&st->msg, &d);
    logPuts("vorn-camera msgHandler read MAVLINK_MSG_ID_DATA96");
    logPrintf("vorn-camera msgHandler got DATA96 type %d\n", d.type);
    const bool request = d.type == COMPANION_COMPUTER_WIFI || d.type == COMPANION_COMPUTER_USB ||
                         d.type == COMPANION_COMPUTER_PREFLIGHT || d.type == SOFTWARE_VERSION_INFO ||
                         d.type == CAMERA_MODE;
    if (request) groundHeard(d.type == COMPANION_COMPUTER_PREFLIGHT); // the ground station is there
    switch (d.type) {
    case COMPANION_COMPUTER_WIFI: onWifi(ctx, d); break;
    case COMPANION_COMPUTER_USB: onUsb(ctx, st, d); break;
    case COMPANION_COMPUTER_PREFLIGHT: onPreflight(ctx, st, d); break;
    case SOFTWARE_VERSION_INFO: sendSoftwareVersionInfo(ctx, st); break;
    case CAMERA_MODE: onCameraMode(ctx, st, d); break;
    default: break; // our own message types and unknown ones: logged above only
    }
}

uint16_t readVersionNumber() {
    std::string path = sandboxPath(versionPath);
    if (access(path.c_str(), R_OK) != 0) {
        logPuts("vorn-camera DID NOT FIND version file");
        return 0;
    }
    FilePtr f(fopen(path.c_str(), "re"));
    if (!f) {
        logPuts("vorn-camera DID NOT FIND version file");
        return 0;
    }
    unsigned int value = 0;
    if (fscanf(f.get(), "%u", &value) != 1) value = 0;
    auto version = static_cast<uint16_t>(value);
    logPrintf("vorn-camera found vornCC_Version: %u\n", static_cast<unsigned>(version));
    return version;
}

void sendSoftwareVersionInfo(AppContext* ctx, FlightState* st) {
    uint16_t version = readVersionNumber();
    uint8_t data[96] = {};
    std::memcpy(data, &version, sizeof version);
    data[2] = 0xFF;
    data[3] = 0xBE;
    mavlink_message_t out{};
    mavlink_msg_data96_pack_chan(OWN_SYSID, OWN_COMPID, &st->channel, &out, SOFTWARE_VERSION_INFO, 4, data);
    if (msgWrite(ctx->fcPipe[1], &out)) logPuts("vorn-camera msgHandler done writing SOFTWARE_VERSION_INFO msg to outbound pipe");
    else logPuts("vorn-camera msgHandler failed to write SOFTWARE_VERSION_INFO msg to outbound pipe");
}
