// vorn-camera: companion-computer daemon of a survey aircraft.
#include <hidapi/hidapi.h>
#include <sqlite3.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <thread>

#include "camera/cameraThread.h"
#include "core/AppContext.h"
#include "core/clock.h"
#include "core/cmdLine.h"
#include "core/database.h"
#include "core/logging.h"
#include "core/sandbox.h"
#include "core/shell.h"
#include "core/userMessage.h"
#include "link/msgHandler.h"
#include "link/serialIO.h"
#include "logs/logHandler.h"
#include "wifi/wifiThread.h"

namespace {

std::atomic<int32_t>* g_quit = nullptr;

void onStopSignal(int) {
    if (g_quit) g_quit->store(1);
}

void installSignals(AppContext* ctx) {
    g_quit = &ctx->quit;
    setSleepQuitFlag(&ctx->quit);
    struct sigaction sa {};
    sa.sa_handler = onStopSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

bool createPipes(AppContext* ctx) {
    struct Named {
        int32_t* fds;
        const char* message;
    } pipes[] = {
        {ctx->msgPipe, "vorn-camera unable to create msgPipe"},
        {ctx->fcPipe, "vorn-camera unable to create fcPipe"},
        {ctx->logPipe, "vorn-camera unable to create logPipe"},
        {ctx->camera.cameraPipe, "vorn-camera unable to create cameraPipe"},
        {ctx->wifiPipe, "vorn-camera unable to create wifiPipe"},
    };
    for (auto& p : pipes) {
        int fds[2];
        if (pipe(fds) != 0) {
            logPuts(p.message);
            return false;
        }
        p.fds[0] = fds[0];
        p.fds[1] = fds[1];
    }
    return true;
}

void closePipes(AppContext* ctx) {
    for (int32_t* fds : {ctx->msgPipe, ctx->fcPipe, ctx->logPipe, ctx->camera.cameraPipe, ctx->wifiPipe})
        for (int i = 0; i < 2; ++i)
            if (fds[i] >= 0) close(fds[i]);
}

void runThreads(AppContext* ctx) {
    std::thread wifi(wifiThread, ctx);
    std::thread camera(cameraThread, ctx);
    std::thread handler(msgHandlerThread, ctx);
    std::thread serial(serialIOThread, ctx);
    std::thread logs(logHandlerThread, ctx);
    serial.join();
    logs.join();
    handler.join();
    camera.join();
    wifi.join();
}

} // namespace

int main(int argc, char** argv) {
    setvbuf(stdout, nullptr, _IONBF, 0);
    sandboxInit();
    static AppContext ctx; // lives for the whole process; the signal handler reaches its quit flag
    installSignals(&ctx);
    runShell("nmcli radio wifi on");
    if (hid_init() != 0) logPuts("vorn-camera failed to initialize the usb library");

    if (createPipes(&ctx)) {
        if (parseCommandLine(&ctx, argc, argv)) {
            logPrintf("vorn-camera %s\n", VORN_VERSION);
            return 0;
        }
        char dbFile[64] = "geodata.db";
        setGroundWarningPipe(ctx.fcPipe[1]);
        // A damaged database is never copied over a good backup.
        setAsideDamagedDatabase(dbFile);
        char backup[128];
        snprintf(backup, sizeof backup, "cp -f %s %s.bak", dbFile, dbFile);
        runShell(backup);
        logPrintf("vorn-camera %s started...\n", VORN_VERSION);
        ctx.fcCompId = 1;
        ctx.fcSysId = 1;
        sqlite3_initialize();
        ctx.camera.db = openGeotagDatabase(dbFile);
        runThreads(&ctx);
        sqlite3_close(ctx.camera.db);
        sqlite3_shutdown();
    }
    hid_exit();
    closePipes(&ctx);
    return 0;
}
