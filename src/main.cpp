// vorn-camera: companion-computer daemon of a survey aircraft.
#include <fcntl.h>
#include <hidapi/hidapi.h>
#include <sqlite3.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <iterator>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "camera/cameraThread.h"
#include "core/AppContext.h"
#include "core/clock.h"
#include "core/cmdLine.h"
#include "core/database.h"
#include "core/logging.h"
#include "core/sandbox.h"
#include "core/shell.h"
#include "core/stop.h"
#include "core/userMessage.h"
#include "link/msgHandler.h"
#include "link/serialIO.h"
#include "logs/logHandler.h"
#include "web/webServer.h"
#include "wifi/wifiThread.h"

namespace {

AppContext* g_ctx = nullptr;

void onStopSignal(int) {
    if (g_ctx) requestStop(g_ctx);
}

// The stop pipe is made before any other thread exists (the USB library starts one), since the
// handler may run on any thread. Without it a stop is still seen, at the threads' timeouts. Its
// write end never blocks the handler. No pipe of the daemon is inherited by the commands it runs.
void installSignals(AppContext* ctx) {
    if (pipe2(ctx->stopPipe, O_CLOEXEC | O_NONBLOCK) != 0) logPuts("vorn-camera unable to create stopPipe");
    setSleepQuitFlag(&ctx->quit, ctx->stopPipe[0]);
    g_ctx = ctx;
    struct sigaction sa {};
    sa.sa_handler = onStopSignal;
    sa.sa_flags = SA_RESTART; // a read in progress (a picture from a slow card) goes on; waits see the stop pipe
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
        if (pipe2(fds, O_CLOEXEC) != 0) {
            logPuts(p.message);
            return false;
        }
        p.fds[0] = fds[0];
        p.fds[1] = fds[1];
    }
    return true;
}

void closePipes(AppContext* ctx) {
    for (int32_t* fds : {ctx->msgPipe, ctx->fcPipe, ctx->logPipe, ctx->camera.cameraPipe, ctx->wifiPipe, ctx->stopPipe})
        for (int i = 0; i < 2; ++i)
            if (fds[i] >= 0) close(fds[i]);
}

struct Worker {
    const char* name;
    void (*body)(AppContext*);
};

constexpr Worker workers[] = {
    {"wifiThread", wifiThread},
    {"cameraThread", cameraThread},
    {"msgHandlerThread", msgHandlerThread},
    {"serialIOThread", serialIOThread},
    {"logHandlerThread", logHandlerThread},
    {"webServerThread", webServerThread},
};

// Starts the threads in order and waits for them; false when one could not be started, after
// stopping those already running.
bool runThreads(AppContext* ctx) {
    std::vector<std::thread> running;
    for (const Worker& w : workers) {
        try {
            running.emplace_back(w.body, ctx);
        } catch (const std::system_error& e) {
            logPrintf("vorn-camera failed to start %s: %s\n", w.name, e.what());
            requestStop(ctx);
            break;
        }
    }
    for (auto t = running.rbegin(); t != running.rend(); ++t) t->join();
    return running.size() == std::size(workers);
}

} // namespace

int main(int argc, char** argv) {
    setvbuf(stdout, nullptr, _IONBF, 0);
    sandboxInit();
    static AppContext ctx; // lives for the whole process; the signal handler reaches it
    if (parseCommandLine(&ctx, argc, argv)) {
        logPrintf("vorn-camera %s\n", VORN_VERSION);
        return 0;
    }
    installSignals(&ctx);
    runShell("nmcli radio wifi on");
    if (hid_init() != 0) logPuts("vorn-camera failed to initialize the usb library");

    int status = 0;
    if (createPipes(&ctx)) {
        setGroundWarningPipe(ctx.fcPipe[1]);
        // A damaged database is never copied over a good backup.
        const std::string dbFile = setAsideDamagedDatabase("geodata.db");
        backupDatabase(dbFile.c_str());
        logPrintf("vorn-camera %s started...\n", VORN_VERSION);
        ctx.fcCompId = 1;
        ctx.fcSysId = 1;
        sqlite3_initialize();
        ctx.camera.db = openGeotagDatabase(dbFile.c_str());
        ctx.databaseFile = dbFile;
        if (!runThreads(&ctx)) status = 1;
        sqlite3_close(ctx.camera.db);
        sqlite3_shutdown();
    }
    hid_exit();
    closePipes(&ctx);
    return status;
}
