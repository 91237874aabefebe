// Arbitrary MAVLink messages through the running message handler thread. The handler's
// per-message dispatch is file-local, so each input is one run of msgHandlerThread fed
// msgPipe frames exactly as the serial thread writes them; a last log block with a marker
// sequence number comes out on logPipe once everything before it was handled.
//
// Input: a sequence of messages, each an id selector, system id, component id, payload length
// and up to that many payload bytes. A selector below the number of ids the handler acts on
// picks one of them; any other value is the message id itself.
#include <poll.h>

#include <algorithm>
#include <thread>

#include "core/pipes.h"
#include "handlerRig.h"
#include "link/flightState.h"
#include "link/msgHandler.h"

namespace {

const uint32_t handledIds[] = {
    MAVLINK_MSG_ID_HEARTBEAT,        MAVLINK_MSG_ID_SYSTEM_TIME,       MAVLINK_MSG_ID_GLOBAL_POSITION_INT,
    MAVLINK_MSG_ID_RC_CHANNELS_RAW,  MAVLINK_MSG_ID_COMMAND_LONG,      MAVLINK_MSG_ID_DIGICAM_CONFIGURE,
    MAVLINK_MSG_ID_DATA96,           MAVLINK_MSG_ID_CAMERA_FEEDBACK,   MAVLINK_MSG_ID_REMOTE_LOG_DATA_BLOCK,
    MAVLINK_MSG_ID_REMOTE_LOG_BLOCK_STATUS, MAVLINK_MSG_ID_STATUSTEXT,
};
constexpr size_t handledCount = sizeof handledIds / sizeof handledIds[0];
constexpr uint32_t markerSeqno = 0xF00DF00D;

// The handler's clock moves 600 ms at every look, so the feedback hold-off and the own
// heartbeat are reached the same way on every run of an input.
int64_t g_now;
int64_t steppingClock() {
    return g_now += 600;
}

void sendFrame(mavlink_message_t* msg) {
    rig::require(msgWrite(rig::ctx->msgPipe[1], msg) == 1, "msgPipe write");
}

void sendMarker() {
    mavlink_message_t msg{};
    msg.magic = MAVLINK_STX;
    msg.msgid = MAVLINK_MSG_ID_REMOTE_LOG_DATA_BLOCK;
    msg.len = 6;
    std::memcpy(msg.payload, &markerSeqno, sizeof markerSeqno); // seqno leads the payload
    sendFrame(&msg);
}

// Reads the log records that arrived; true once the marker was among them.
bool markerSeen() {
    bool seen = false;
    mavlink_message_t rec;
    while (pipeRead(rig::ctx->logPipe[0], &rec, sizeof rec)) {
        if (rec.msgid == MAVLINK_MSG_ID_REMOTE_LOG_DATA_BLOCK &&
            mavlink_msg_remote_log_data_block_get_seqno(&rec) == markerSeqno)
            seen = true;
    }
    return seen;
}

// Keeps the other pipes empty until everything sent was handled.
void waitForMarker() {
    AppContext* ctx = rig::ctx;
    for (int idle = 0;;) {
        pollfd fds[4] = {{ctx->logPipe[0], POLLIN, 0}, {ctx->camera.cameraPipe[0], POLLIN, 0},
                         {ctx->wifiPipe[0], POLLIN, 0}, {ctx->fcPipe[0], POLLIN, 0}};
        int n = poll(fds, 4, 1000);
        rig::drain(ctx->camera.cameraPipe[0]);
        rig::drain(ctx->wifiPipe[0]);
        rig::drain(ctx->fcPipe[0]);
        if (rig::sonyGpsReader >= 0) rig::drain(rig::sonyGpsReader);
        if (markerSeen()) return;
        if (n == 0) rig::require(++idle < 10, "handler stopped handling messages");
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    rig::setUp();
    setHandlerClock(steppingClock);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    rig::resetFlightFields();
    g_now = 1700000000000;
    rig::ctx->quit = 0;
    std::thread handler(msgHandlerThread, rig::ctx);

    uint8_t seq = 0;
    for (size_t at = 0; at + 4 <= size;) {
        mavlink_message_t msg{};
        msg.magic = MAVLINK_STX;
        msg.msgid = data[at] < handledCount ? handledIds[data[at]] : data[at];
        msg.sysid = data[at + 1];
        msg.compid = data[at + 2];
        msg.seq = seq++;
        size_t len = std::min<size_t>(data[at + 3], size - at - 4);
        msg.len = static_cast<uint8_t>(len);
        std::memcpy(msg.payload, data + at + 4, len);
        at += 4 + len;
        sendFrame(&msg);
    }
    sendMarker();
    waitForMarker();

    // A frame the handler ignores wakes it to see quit.
    rig::ctx->quit = 1;
    mavlink_message_t wake{};
    wake.magic = MAVLINK_STX;
    wake.msgid = MAVLINK_MSG_ID_HEARTBEAT;
    wake.compid = 2;
    sendFrame(&wake);
    handler.join();
    rig::drainAll();
    rig::drain(rig::ctx->msgPipe[0]);
    return 0;
}
