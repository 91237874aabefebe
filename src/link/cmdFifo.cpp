#include "link/cmdFifo.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <string>

#include "core/geoData.h"
#include "core/logging.h"
#include "core/sandbox.h"
#include "core/userMessage.h"
#include "link/companion.h"
#include "link/sonyGps.h"

namespace {

const char fifoPath[] = "/var/run/vorn-camera.fifo";

// Commands that only hand a camera command to the camera thread.
struct CameraWord {
    const char* word;
    uint8_t cmd;
    const char* failMsg;
};
const CameraWord cameraWords[] = {
    {"zoomstop", CAM_ZOOM_STOP, "vorn-camera msgHandler failed to zoomstop"},
    {"zoomin", CAM_ZOOM_IN, "vorn-camera msgHandler failed to zoomin"},
    {"zoomout", CAM_ZOOM_OUT, "vorn-camera msgHandler failed to zoomout"},
    {"still", CAM_MODE_STILL, "vorn-camera msgHandler failed to still"},
    {"movie", CAM_MODE_MOVIE, "vorn-camera msgHandler failed to movie"},
    {"postflight", CAM_POSTFLIGHT, "vorn-camera msgHandler failed to write (postflight) to cameraPipe"},
    {"mount", CAM_MOUNT, "vorn-camera msgHandler failed to write (mount) to cameraPipe"},
    {"unmount", CAM_UNMOUNT, "vorn-camera msgHandler failed to write (unmount) to cameraPipe"},
};

struct TypeWord {
    const char* word;
    int32_t camType;
};
const TypeWord typeWords[] = {
    {"survey3", CAMTYPE_SURVEY3},
    {"kernel", CAMTYPE_KERNEL},
    {"sony", CAMTYPE_SONY},
    {"sentera", CAMTYPE_SENTERA},
};

const char takeoffFail[] = "vorn-camera msgHandler failed to write (CAM_TAKEOFF) to cameraPipe";

std::string commandPath() {
    return sandboxPath(fifoPath);
}

bool is(const char* text, const char* word) {
    return strcasecmp(text, word) == 0;
}

// A fixed position for trying the Sony feed on the ground.
void sendTestFix(AppContext* ctx) {
    SonyGeoRecord* r = &ctx->camera.sonyGeo;
    r->header2 = 1;
    r->latRef = 0;
    r->latDeg = 32;
    r->latMin = 50;
    r->latSec = 1168835;
    r->latSecDiv = 100000;
    r->lonRef = 0;
    r->lonDeg = 117;
    r->lonMin = 7;
    r->lonSec = 4075824;
    r->lonSecDiv = 100000;
    r->altPresent = 1;
    r->altRef = 0;
    r->alt = 154180000;
    r->altDiv = 1000;
    std::memset(r->reserved, 0, sizeof r->reserved);
    r->year = 2019;
    r->month = 10;
    r->day = 16;
    r->hour = 20;
    r->minute = 31;
    r->msecOfMinute = 41453;
    send_sony_gps_message(r);
}

void sendCurrentFix(AppContext* ctx) {
    GeoData geo;
    copyGeoData(&ctx->camera, &geo);
    sendSonyFix(&ctx->camera.sonyGeo, geo);
}

void printMissionId(AppContext* ctx) {
    std::lock_guard<std::mutex> guard(ctx->camera.lock);
    logPrintf("vorn-camera msgHandler mission_id: %.*s\n", static_cast<int>(missionIdLength(ctx->camera.missionID)),
              ctx->camera.missionID);
}

// A test take-off: the flight fields of a made-up Sentera flight. Only the first 13 bytes of
// the mission id are replaced.
void takeoff(AppContext* ctx, FlightState* st) {
    {
        std::lock_guard<std::mutex> guard(ctx->camera.lock);
        ctx->camera.flightTime = 1554927439;
        std::memcpy(ctx->camera.missionID, "Takeoff_Test", 13);
        ctx->camera.camType = CAMTYPE_SENTERA;
    }
    printMissionId(ctx);
    st->handlerCamType = CAMTYPE_SENTERA;
    writeCameraCommand(ctx, st, CAM_TAKEOFF, takeoffFail);
}

bool doCameraWord(AppContext* ctx, FlightState* st, const char* text) {
    for (const auto& w : cameraWords) {
        if (!is(text, w.word)) continue;
        writeCameraCommand(ctx, st, w.cmd, w.failMsg);
        return true;
    }
    for (const auto& w : typeWords) {
        if (!is(text, w.word)) continue;
        setCameraType(ctx, st, w.camType);
        return true;
    }
    return false;
}

void doFifoCommand(AppContext* ctx, FlightState* st, const char* text) {
    if (doCameraWord(ctx, st, text)) return;
    if (is(text, "trigger")) {
        if (writeCameraCommand(ctx, st, CAM_TRIGGER, "vorn-camera msgHandler failed to write to cameraPipe"))
            st->lastFeedbackTrigger = st->lastFeedbackCheck;
    } else if (is(text, "preflight")) {
        {
            std::lock_guard<std::mutex> guard(ctx->camera.lock);
            ctx->camera.camType = st->handlerCamType;
        }
        writeCameraCommand(ctx, st, CAM_PREFLIGHT, "vorn-camera msgHandler failed to write (preflight) to cameraPipe");
    } else if (is(text, "takeoff")) {
        takeoff(ctx, st);
    } else if (is(text, "takeoffwpreflight")) {
        printMissionId(ctx);
        st->handlerCamType = CAMTYPE_SENTERA;
        writeCameraCommand(ctx, st, CAM_TAKEOFF, takeoffFail);
    } else if (is(text, "land")) {
        setCameraType(ctx, st, CAMTYPE_SENTERA);
        writeCameraCommand(ctx, st, CAM_LANDING, "vorn-camera msgHandler failed to write (CAM_LANDING) to cameraPipe");
    } else if (is(text, "version")) {
        sendSoftwareVersionInfo(ctx, st);
    } else if (is(text, "startlog")) {
        sendLogBlockStatus(ctx, st, MAV_REMOTE_LOG_DATA_BLOCK_START,
                           "vorn-camera msgHandler done writing REMOTE_LOG_BLOCK_STATUS START msg to outbound pipe",
                           "vorn-camera msgHandler failed to write REMOTE_LOG_BLOCK_STATUS START msg to outbound pipe");
    } else if (is(text, "stoplog")) {
        sendLogBlockStatus(ctx, st, MAV_REMOTE_LOG_DATA_BLOCK_STOP,
                           "vorn-camera msgHandler done writing REMOTE_LOG_BLOCK_STATUS STOP msg to outbound pipe",
                           "vorn-camera msgHandler failed to write REMOTE_LOG_BLOCK_STATUS STOP msg to outbound pipe");
    } else if (is(text, "usermsg")) {
        send_user_message(ctx->fcPipe[1], 0, "%s", "abcdefg");
    } else if (is(text, "gps")) {
        sendTestFix(ctx);
    } else if (is(text, "gps1")) {
        sendCurrentFix(ctx);
    }
}

} // namespace

void cmdFifoRemove() {
    unlink(commandPath().c_str());
}

void cmdFifoHousekeeping(CmdFifo* fifo) {
    if (fifo->fd >= 0) return;
    std::string path = commandPath();
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return;
    // A shell redirection creates the file before it writes: an empty file may still be
    // filling, and reading it now would delete it under its writer.
    if (S_ISREG(st.st_mode) && st.st_size == 0) return;
    int fd = -1;
    // Only plain files and named pipes: anything else (a directory, a device) would read
    // as an error or endlessly and be reopened on every pass.
    if (S_ISREG(st.st_mode) || S_ISFIFO(st.st_mode)) fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (fifo->openFailures == 0) {
            logPuts("vorn-camera msgHandler failed to open fifo");
            fifo->openFailures = 1000;
        } else {
            --fifo->openFailures;
        }
        return;
    }
    // A named pipe opened without a writer does not poll readable until a writer has come
    // and written or gone, so it simply waits here for its writer.
    fifo->fd = fd;
    logPuts("vorn-camera msgHandler fifo successfully opened");
}

void cmdFifoRead(AppContext* ctx, FlightState* st, CmdFifo* fifo) {
    char buf[64] = {};
    ssize_t n = read(fifo->fd, buf, sizeof buf - 1);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
    if (n <= 0) {
        cmdFifoClose(fifo);
        unlink(commandPath().c_str());
        return;
    }
    buf[strcspn(buf, "\r\n")] = '\0'; // one command per read; the rest of the read is dropped
    logPrintf("vorn-camera msgHandler received [%s]\n", buf);
    doFifoCommand(ctx, st, buf);
}

void cmdFifoClose(CmdFifo* fifo) {
    if (fifo->fd >= 0) close(fifo->fd);
    fifo->fd = -1;
}
