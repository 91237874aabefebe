// What the message-handler fuzz targets share: an AppContext with real pipes that are drained
// after every step, and a sandbox below VORN_ROOT holding the version file and a reader on the
// Sony position FIFO. Set up once per process.
#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "core/AppContext.h"
#include "core/sandbox.h"
#include "mavlink/mavlink.h"

namespace rig {

inline AppContext* ctx;
inline std::string root;
inline int sonyGpsReader = -1;

inline void require(bool ok, const char* what) {
    if (ok) return;
    fprintf(stderr, "fuzz rig: %s\n", what);
    abort();
}

inline void makePipe(int32_t (&fds)[2]) {
    int p[2];
    require(pipe2(p, O_CLOEXEC) == 0, "pipe");
    fcntl(p[0], F_SETFL, O_NONBLOCK); // drained without waiting
    fds[0] = p[0];
    fds[1] = p[1];
}

// Empties a pipe and returns how many bytes it held.
inline size_t drain(int fd) {
    char buf[4096];
    size_t total = 0;
    for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) total += static_cast<size_t>(n);
    return total;
}

// Every frame on the handler's pipes is whole: two length bytes and the record behind them.
inline void drainAll() {
    require(drain(ctx->camera.cameraPipe[0]) % (2 + sizeof(CameraCommand)) == 0, "partial CameraCommand frame");
    require(drain(ctx->wifiPipe[0]) % (2 + sizeof(WifiRequest)) == 0, "partial WifiRequest frame");
    require(drain(ctx->logPipe[0]) % (2 + sizeof(mavlink_message_t)) == 0, "partial logPipe frame");
    drain(ctx->fcPipe[0]);
    if (sonyGpsReader >= 0) drain(sonyGpsReader);
}

inline void removeSandbox() {
    unlink(sandboxPath("/var/run/vornSonyGPSMsg.fifo").c_str());
    unlink(sandboxPath("/var/run/vorn-camera.fifo").c_str());
    unlink(sandboxPath("/root/vorn/version").c_str());
    for (const char* d : {"/var/run", "/var", "/root/vorn", "/root", ""}) rmdir((root + d).c_str());
}

inline void setUp() {
    // The handler's log lines are not what is tested; keep the fuzzer's output readable.
    int null = open("/dev/null", O_WRONLY);
    dup2(null, STDOUT_FILENO);
    close(null);

    char dir[] = "/tmp/vorn-handler-fuzz-XXXXXX";
    require(mkdtemp(dir) != nullptr, "mkdtemp");
    root = dir;
    atexit(removeSandbox);
    setenv("VORN_ROOT", root.c_str(), 1);
    sandboxInit();
    for (const char* d : {"/var", "/var/run", "/root", "/root/vorn"}) mkdir((root + d).c_str(), 0700);
    FILE* f = fopen(sandboxPath("/root/vorn/version").c_str(), "w");
    require(f != nullptr, "version file");
    fputs("70000\n", f);
    fclose(f);
    // A reader on the Sony position FIFO, so position records get as far as being written.
    std::string gps = sandboxPath("/var/run/vornSonyGPSMsg.fifo");
    if (mkfifo(gps.c_str(), 0700) == 0) sonyGpsReader = open(gps.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);

    ctx = new AppContext;
    makePipe(ctx->msgPipe);
    makePipe(ctx->fcPipe);
    makePipe(ctx->logPipe);
    makePipe(ctx->camera.cameraPipe);
    makePipe(ctx->wifiPipe);
}

// The flight fields as at start, so each input starts from the same state.
inline void resetFlightFields() {
    CameraContext& cam = ctx->camera;
    std::lock_guard<std::mutex> guard(cam.lock);
    std::memset(cam.missionID, 0, sizeof cam.missionID);
    cam.flightID = 0;
    cam.flightTime = 0;
    cam.camType = 0;
    cam.geo = {};
}

} // namespace rig
