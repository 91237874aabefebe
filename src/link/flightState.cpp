#include "link/flightState.h"

#include <atomic>
#include <mutex>

#include "core/clock.h"
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
    if (pipeWrite(ctx->camera.cameraPipe[1], sizeof st->cameraCommand, &st->cameraCommand)) return 1;
    logPuts(failMsg);
    return 0;
}

void setCameraType(AppContext* ctx, FlightState* st, int32_t camType) {
    st->handlerCamType = camType;
    std::lock_guard<std::mutex> guard(ctx->camera.lock);
    ctx->camera.camType = camType;
}

int sendToFc(AppContext* ctx, const mavlink_message_t* msg, uint16_t packedLen) {
    return pipeWrite(ctx->fcPipe[1], packedLen, msg);
}

void sendLogBlockStatus(AppContext* ctx, FlightState* st, uint32_t seqno, const char* doneMsg,
                        const char* failMsg) {
    mavlink_message_t out{};
    uint16_t len = mavlink_msg_remote_log_block_status_pack_chan(
        OWN_SYSID, OWN_COMPID, &st->channel, &out, static_cast<uint8_t>(ctx->fcSysId.load()),
        static_cast<uint8_t>(ctx->fcCompId.load()), seqno, MAV_REMOTE_LOG_DATA_BLOCK_ACK);
    logPuts(sendToFc(ctx, &out, len) ? doneMsg : failMsg);
}
