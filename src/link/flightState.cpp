#include "link/flightState.h"

#include <atomic>
#include <mutex>

#include "core/clock.h"
#include "core/liveStatus.h"
#include "core/logBlockStatus.h"
#include "core/logging.h"
#include "core/pipes.h"

namespace {

std::atomic<int64_t (*)()> g_clock{nullptr};

} // namespace

int64_t handlerClock() {
    auto clock = g_clock.load();
    return clock ? clock() : current_timestamp();
}

void setHandlerClock(int64_t (*clock)()) {
    g_clock = clock;
}

int writeCameraCommand(AppContext* ctx, FlightState* st, uint8_t cmd, const char* failMsg) {
    st->cameraCommand.camType = st->handlerCamType;
    st->cameraCommand.cmd = cmd;
    setLiveCamType(st->handlerCamType); // the type the camera thread works with
    if (pipeWrite(ctx->camera.cameraPipe[1], sizeof st->cameraCommand, &st->cameraCommand)) return 1;
    logPuts(failMsg);
    return 0;
}

int writeWifiRequest(AppContext* ctx, const WifiRequest& req) {
    if (pipeWrite(ctx->wifiPipe[1], sizeof req, &req)) return 1;
    logPuts("vorn-camera msgHandler failed to write to wifiPipe");
    return 0;
}

void setCameraType(AppContext* ctx, FlightState* st, int32_t camType) {
    st->handlerCamType = camType;
    std::lock_guard<std::mutex> guard(ctx->camera.lock);
    ctx->camera.camType = camType;
}

void sendLogBlockStatus(AppContext* ctx, FlightState* st, uint32_t seqno, const char* doneMsg,
                        const char* failMsg) {
    logPuts(writeBlockStatus(ctx, &st->channel, seqno) ? doneMsg : failMsg);
}
