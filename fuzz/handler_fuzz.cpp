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
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "core/AppContext.h"
#include "core/sandbox.h"
#include "link/cmdFifo.h"
#include "link/companion.h"
#include "link/flightState.h"

namespace {

AppContext* g_ctx;
std::string g_root;
std::string g_commandPath;
int g_sonyGpsReader = -1;

void require(bool ok, const char* what) {
    if (ok) return;
    fprintf(stderr, "handler_fuzz: %s\n", what);
    abort();
}

void makePipe(int32_t (&fds)[2]) {
    int p[2];
    require(pipe2(p, O_CLOEXEC) == 0, "pipe");
    fcntl(p[0], F_SETFL, O_NONBLOCK); // drained without waiting
    fds[0] = p[0];
    fds[1] = p[1];
}

// Empties a pipe and returns how many bytes it held.
size_t drain(int fd) {
    char buf[4096];
    size_t total = 0;
    for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) total += static_cast<size_t>(n);
    return total;
}

void drainAll() {
    // Camera commands are whole frames of a 24-byte record behind two length bytes.
    require(drain(g_ctx->camera.cameraPipe[0]) % (2 + sizeof(CameraCommand)) == 0, "partial CameraCommand frame");
    require(drain(g_ctx->wifiPipe[0]) % (2 + sizeof(WifiRequest)) == 0, "partial WifiRequest frame");
    require(drain(g_ctx->logPipe[0]) % (2 + sizeof(mavlink_message_t)) == 0, "partial logPipe frame");
    drain(g_ctx->fcPipe[0]);
    if (g_sonyGpsReader >= 0) drain(g_sonyGpsReader);
}

void removeSandbox() {
    unlink(sandboxPath("/var/run/vornSonyGPSMsg.fifo").c_str());
    unlink(sandboxPath("/root/vorn/version").c_str());
    for (const char* d : {"/var/run", "/var", "/root/vorn", "/root", ""}) rmdir((g_root + d).c_str());
}

void setUpSandbox() {
    char dir[] = "/tmp/vorn-handler-fuzz-XXXXXX";
    require(mkdtemp(dir) != nullptr, "mkdtemp");
    std::string root = g_root = dir;
    atexit(removeSandbox);
    setenv("VORN_ROOT", root.c_str(), 1);
    sandboxInit();
    for (const char* d : {"/var", "/var/run", "/root", "/root/vorn"}) mkdir((root + d).c_str(), 0700);
    FILE* f = fopen(sandboxPath("/root/vorn/version").c_str(), "w");
    require(f != nullptr, "version file");
    fputs("70000\n", f);
    fclose(f);
    g_commandPath = sandboxPath("/var/run/vorn-camera.fifo");
    // A reader on the Sony position FIFO, so the "gps" commands get as far as writing.
    std::string gps = sandboxPath("/var/run/vornSonyGPSMsg.fifo");
    if (mkfifo(gps.c_str(), 0700) == 0) g_sonyGpsReader = open(gps.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
}

void resetFlightFields() {
    CameraContext& cam = g_ctx->camera;
    std::lock_guard<std::mutex> guard(cam.lock);
    std::memset(cam.missionID, 0, sizeof cam.missionID);
    cam.flightID = 0;
    cam.flightTime = 0;
    cam.camType = 0;
    cam.geo = {};
}

void data96Step(FlightState* st, const uint8_t* p, size_t n) {
    std::memset(&st->msg, 0, sizeof st->msg);
    st->msg.magic = MAVLINK_STX;
    st->msg.msgid = MAVLINK_MSG_ID_DATA96;
    st->msg.sysid = 255;
    st->msg.compid = 190;
    st->msg.len = static_cast<uint8_t>(n);
    std::memcpy(st->msg.payload, p, n);
    handleData96(g_ctx, st);
}

void commandStep(FlightState* st, CmdFifo* fifo, const uint8_t* p, size_t n) {
    require(mkfifo(g_commandPath.c_str(), 0600) == 0, "mkfifo command path");
    cmdFifoHousekeeping(fifo);
    require(fifo->fd >= 0, "command path not opened");
    int writer = open(g_commandPath.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    require(writer >= 0, "command writer");
    require(write(writer, p, n) == static_cast<ssize_t>(n), "command write");
    close(writer);
    // Read to the end: the handler closes the source and removes the path itself.
    while (fifo->fd >= 0) {
        cmdFifoRead(g_ctx, st, fifo);
        drainAll();
    }
    require(access(g_commandPath.c_str(), F_OK) != 0, "command path left behind");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The handler's log lines are not what is tested; keep the fuzzer's output readable.
    int null = open("/dev/null", O_WRONLY);
    dup2(null, STDOUT_FILENO);
    close(null);
    setUpSandbox();
    g_ctx = new AppContext;
    makePipe(g_ctx->msgPipe);
    makePipe(g_ctx->fcPipe);
    makePipe(g_ctx->logPipe);
    makePipe(g_ctx->camera.cameraPipe);
    makePipe(g_ctx->wifiPipe);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    resetFlightFields();
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
        drainAll();
    }
    return 0;
}
