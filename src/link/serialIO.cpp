#include "link/serialIO.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/select.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "core/clock.h"
#include "core/logging.h"
#include "core/pipes.h"
#include "link/serialPort.h"
#include "mavlink/mavlink.h"

std::atomic<uint8_t> msgFilter[256];
std::atomic<uint8_t> msgModemFilter[256];

namespace {

// COMMAND_LONG passes only as DO_LAND_START whatever its flag; ids beyond the table never pass.
int filterWith(const std::atomic<uint8_t>* table, const mavlink_message_t* msg) {
    if (msg->msgid == MAVLINK_MSG_ID_COMMAND_LONG)
        return mavlink_msg_command_long_get_command(msg) == MAV_CMD_DO_LAND_START ? 0 : 1;
    if (msg->msgid < 256 && table[msg->msgid] != 0) return 0;
    return 1;
}

constexpr size_t READ_BUF_LEN = MAVLINK_MAX_PACKET_LEN;

struct Port {
    const char* name;       // "fc" or "modem": in sendBuf failures and progress lines
    const char* path;
    int baud;
    const char* openedFmt;  // printed with path and baud once the port is configured
    int (*filter)(const mavlink_message_t*);
    int fd = -1;
    mavlink_parser_t parser{};
    mavlink_message_t msg{};
    uint32_t received = 0;
    uint32_t handled = 0;
};

void openPort(Port* port) {
    // No controlling terminal: a hang-up on the line must not signal the daemon.
    int fd = open(port->path, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        logPrintf("vorn-camera serialIO failed to open(%s), err=%s\n", port->path, strerror(errno));
        return;
    }
    if (serialPortConfig(fd, port->baud) != 0) {
        close(fd);
        return;
    }
    port->fd = fd;
    port->parser = mavlink_parser_t{};
    logPrintf(port->openedFmt, port->path, port->baud);
}

void closePort(Port* port) {
    if (port->fd < 0) return;
    close(port->fd);
    port->fd = -1;
}

void sendOneFromFcPipe(AppContext* ctx, Port* fc) {
    mavlink_message_t msg{};
    if (!msgRead(ctx->fcPipe[0], &msg)) {
        logPuts("vorn-camera serialIO failed to read from the fcPipe");
        return;
    }
    uint8_t buf[READ_BUF_LEN];
    uint16_t len = mavlink_msg_to_send_buffer(buf, &msg);
    sendBuf(fc->fd, len, buf, fc->name);
}

// Sends what fcPipe holds, up to a burst: a log stream brings more than one block per read
// of the line, each acknowledged through fcPipe, so one message per pass would fall behind.
void serviceFcPipe(AppContext* ctx, Port* fc) {
    constexpr int kBurst = 64;
    for (int sent = 0; sent < kBurst && fc->fd >= 0; ++sent) {
        sendOneFromFcPipe(ctx, fc);
        pollfd more{ctx->fcPipe[0], POLLIN, 0};
        if (poll(&more, 1, 0) != 1 || !(more.revents & POLLIN)) break;
    }
}

// Hands a message to the message handler. While msgPipe is full the thread keeps sending
// what fcPipe holds to the flight controller: the handler may itself be waiting on the log
// thread, which may be waiting for room in fcPipe to acknowledge blocks, and a serial thread
// that only waited for msgPipe would close that circle for good.
bool handOn(AppContext* ctx, Port* fc, const mavlink_message_t* msg) {
    while (true) {
        if (msgWrite(ctx->msgPipe[1], msg)) return true;
        if (errno != EAGAIN || ctx->quit) return false;
        pollfd fds[3] = {{ctx->msgPipe[1], POLLOUT, 0},
                         {fc->fd >= 0 ? ctx->fcPipe[0] : -1, POLLIN, 0},
                         {ctx->stopPipe[0], POLLIN, 0}};
        if (poll(fds, 3, 1000) < 0 && errno != EINTR) return false;
        if (fds[1].revents & POLLIN) serviceFcPipe(ctx, fc);
    }
}

// Feeds the bytes to the port's parser and hands every message its filter passes to the
// message handler.
void parseBytes(AppContext* ctx, Port* port, Port* fc, const uint8_t* bytes, size_t len) {
    for (size_t i = 0; i < len; ++i) {
        if (mavlink_parse_char(&port->parser, bytes[i], &port->msg) != 1) continue;
        ++port->received;
        if (port->received % 1000 == 0)
            logPrintf("vorn-camera serialIO %ld %s msgs received, %ld handled\n", static_cast<long>(port->received),
                      port->name, static_cast<long>(port->handled));
        if (port->filter(&port->msg) != 0) continue;
        if (handOn(ctx, fc, &port->msg))
            ++port->handled;
        else
            logPuts("vorn-camera serialIO failed to write to the msgPipe");
    }
}

// Reads what the port has (0: nothing). End of file, or an error other than an interruption
// (a USB adapter pulled out reads EIO for ever), means the line has gone: the port is closed
// and reopened on a later pass.
ssize_t readPort(Port* port, uint8_t* buf) {
    ssize_t n = read(port->fd, buf, READ_BUF_LEN);
    if (n > 0) return n;
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return 0;
    closePort(port);
    return 0;
}

void serviceFc(AppContext* ctx, Port* fc, Port* modem) {
    uint8_t buf[READ_BUF_LEN];
    ssize_t n = readPort(fc, buf);
    if (n == 0) return;
    // Bridge first, so forwarding never waits for the message handler.
    if (modem->fd >= 0) sendBuf(modem->fd, static_cast<size_t>(n), buf, modem->name);
    parseBytes(ctx, fc, fc, buf, static_cast<size_t>(n));
}

void serviceModem(AppContext* ctx, Port* modem, Port* fc) {
    uint8_t buf[READ_BUF_LEN];
    ssize_t n = readPort(modem, buf);
    if (n == 0 || fc->fd < 0) return; // nowhere to go while the flight controller is away
    sendBuf(fc->fd, static_cast<size_t>(n), buf, fc->name);
    parseBytes(ctx, modem, fc, buf, static_cast<size_t>(n));
}

// Waits two seconds before the flight controller's port is tried again. Meanwhile nothing can
// take what the other threads send it: those messages are dropped (counted in the log), so that
// no thread ever blocks on a full fcPipe.
void dropWhileClosed(AppContext* ctx) {
    constexpr int retryMs = 2000;
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(retryMs);
    long dropped = 0;
    for (int left = retryMs; left > 0 && !ctx->quit;) {
        pollfd fds[2] = {{ctx->fcPipe[0], POLLIN, 0}, {ctx->stopPipe[0], POLLIN, 0}};
        if (poll(fds, 2, left) > 0 && (fds[0].revents & POLLIN)) {
            mavlink_message_t msg{};
            if (msgRead(ctx->fcPipe[0], &msg)) ++dropped;
        } else if (fds[1].revents & POLLIN) {
            break;
        }
        left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                    until - std::chrono::steady_clock::now()).count());
    }
    if (dropped > 0)
        logPrintf("vorn-camera serialIO flight controller port closed: %ld outbound messages dropped\n", dropped);
}

// One pass of the loop; returns after at most about a second (two while the flight controller
// port cannot be opened).
void serialPass(AppContext* ctx, Port* fc, Port* modem) {
    if (fc->fd < 0) openPort(fc);
    if (modem->fd < 0 && ctx->useModem) openPort(modem);
    if (fc->fd < 0) {
        dropWhileClosed(ctx);
        return;
    }
    fd_set readable;
    FD_ZERO(&readable);
    int maxFd = -1;
    for (int fd : {fc->fd, modem->fd, ctx->fcPipe[0], ctx->stopPipe[0]}) {
        if (fd < 0) continue; // the modem, or the stop pipe of a context without one
        FD_SET(fd, &readable);
        maxFd = std::max(maxFd, fd);
    }
    timeval timeout{1, 0};
    int ready = select(maxFd + 1, &readable, nullptr, nullptr, &timeout);
    if (ready < 0 && errno == EINTR) return; // a signal, e.g. the stop request
    if (ready < 0) {
        logPrintf("vorn-camera serialIO select failed, err=%s\n", strerror(errno));
        sleepMs(2000);
        return;
    }
    if (ready == 0 || ctx->quit) return;
    if (FD_ISSET(fc->fd, &readable)) serviceFc(ctx, fc, modem);
    if (modem->fd >= 0 && FD_ISSET(modem->fd, &readable)) serviceModem(ctx, modem, fc);
    if (fc->fd >= 0 && FD_ISSET(ctx->fcPipe[0], &readable)) serviceFcPipe(ctx, fc);
}

} // namespace

void initMsgFilters() {
    for (int i = 0; i < 256; ++i) {
        msgFilter[i] = 0;
        msgModemFilter[i] = 0;
    }
    msgFilter[MAVLINK_MSG_ID_HEARTBEAT] = 1;
    msgFilter[MAVLINK_MSG_ID_SYS_STATUS] = 0;
    msgFilter[MAVLINK_MSG_ID_SYSTEM_TIME] = 1; // cleared once the clock has been set
    msgFilter[MAVLINK_MSG_ID_GLOBAL_POSITION_INT] = 1;
    msgFilter[MAVLINK_MSG_ID_RC_CHANNELS_RAW] = 1;
    msgFilter[MAVLINK_MSG_ID_SERVO_OUTPUT_RAW] = 0;
    msgFilter[MAVLINK_MSG_ID_COMMAND_LONG] = 1; // DO_LAND_START only, see filterWith
    msgFilter[MAVLINK_MSG_ID_CAMERA_TRIGGER] = 0;
    msgFilter[MAVLINK_MSG_ID_DIGICAM_CONFIGURE] = 1;
    msgFilter[MAVLINK_MSG_ID_DIGICAM_CONTROL] = 0;
    msgFilter[MAVLINK_MSG_ID_DATA96] = 1;
    msgFilter[MAVLINK_MSG_ID_CAMERA_FEEDBACK] = 1;
    msgFilter[MAVLINK_MSG_ID_REMOTE_LOG_DATA_BLOCK] = 1;
    msgFilter[MAVLINK_MSG_ID_REMOTE_LOG_BLOCK_STATUS] = 1;
    msgFilter[MAVLINK_MSG_ID_STATUSTEXT] = 1;
    msgModemFilter[MAVLINK_MSG_ID_COMMAND_LONG] = 1;
    msgModemFilter[MAVLINK_MSG_ID_DATA96] = 1;
    msgModemFilter[MAVLINK_MSG_ID_STATUSTEXT] = 1;
}

// Filled from the start as well: the serial thread may get its first frames before the message
// handler's thread has run, and a ground request arriving then must not be dropped.
namespace {
const bool g_filtersFilled = (initMsgFilters(), true);
} // namespace

int filterMsg(const mavlink_message_t* msg) {
    return filterWith(msgFilter, msg);
}

int filterModemMsg(const mavlink_message_t* msg) {
    return filterWith(msgModemFilter, msg);
}


void serialIOThread(AppContext* ctx) {
    logPuts("vorn-camera serialIO started...");
    Port fc{"fc", ctx->fcPort, ctx->fcBaud, "vorn-camera serialIO flight controller on %s opened at %d baud\n",
            filterMsg};
    Port modem{"modem", ctx->modemPort, ctx->modemBaud,
               "vorn-camera serialIO telemetry modem on %s opened at %d baud\n", filterModemMsg};
    // Only this thread writes to msgPipe; a full pipe must not block it (see handOn).
    fcntl(ctx->msgPipe[1], F_SETFL, fcntl(ctx->msgPipe[1], F_GETFL) | O_NONBLOCK);
    while (!ctx->quit) serialPass(ctx, &fc, &modem);
    closePort(&fc);
    closePort(&modem);
    logPuts("vorn-camera serialIO exit");
}
