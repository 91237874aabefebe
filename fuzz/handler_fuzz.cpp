// Arbitrary bytes through the message handler's two inputs from outside: ground requests in
// DATA96 messages (handleData96) and text on the local command path (cmdFifoHousekeeping and
// cmdFifoRead on a real named pipe). The handler's pipes are real and drained after every step,
// the fixed paths live in a sandbox below VORN_ROOT.
//
// Input: a sequence of steps, each an operation byte and then
//   even: up to 98 bytes, the DATA96 payload (type, len, data) as it would arrive
//   odd:  a length byte and that many bytes, written at once to the command pipe, which the
//         handler then reads to its end (one command per read of at most 63 bytes)
// A fresh handler state per input, so every crash reproduces from its input alone.
#include <algorithm>

#include "handlerRig.h"
#include "link/cmdFifo.h"
#include "link/companion.h"
#include "link/flightState.h"

namespace {

std::string g_commandPath;

void data96Step(FlightState* st, const uint8_t* p, size_t n) {
    std::memset(&st->msg, 0, sizeof st->msg);
    st->msg.magic = MAVLINK_STX;
    st->msg.msgid = MAVLINK_MSG_ID_DATA96;
    st->msg.sysid = 255;
    st->msg.compid = 190;
    st->msg.len = static_cast<uint8_t>(n);
    std::memcpy(st->msg.payload, p, n);
    handleData96(rig::ctx, st);
}

void commandStep(FlightState* st, CmdFifo* fifo, const uint8_t* p, size_t n) {
    rig::require(mkfifo(g_commandPath.c_str(), 0600) == 0, "mkfifo command path");
    cmdFifoHousekeeping(fifo);
    rig::require(fifo->fd >= 0, "command path not opened");
    int writer = open(g_commandPath.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    rig::require(writer >= 0, "command writer");
    rig::require(write(writer, p, n) == static_cast<ssize_t>(n), "command write");
    close(writer);
    // Read to the end: the handler closes the source and removes the path itself.
    while (fifo->fd >= 0) {
        cmdFifoRead(rig::ctx, st, fifo);
        rig::drainAll();
    }
    rig::require(access(g_commandPath.c_str(), F_OK) != 0, "command path left behind");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    rig::setUp();
    g_commandPath = sandboxPath("/var/run/vorn-camera.fifo");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    rig::resetFlightFields();
    FlightState st;
    CmdFifo fifo;
    size_t at = 0;
    while (at < size) {
        uint8_t op = data[at++];
        if (op % 2 == 0) {
            size_t n = std::min(size - at, sizeof(mavlink_data96_t));
            data96Step(&st, data + at, n);
            at += n;
        } else {
            size_t n = at < size ? data[at++] : 0;
            n = std::min(n, size - at);
            commandStep(&st, &fifo, data + at, n);
            at += n;
        }
        rig::drainAll();
    }
    return 0;
}
