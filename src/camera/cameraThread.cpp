#include "camera/cameraThread.h"

#include <cstring>
#include <mutex>

#include "archive/geotagDb.h"
#include "camera/cam_kernel.h"
#include "camera/cam_none.h"
#include "camera/cam_sony.h"
#include "camera/cam_survey3.h"
#include "core/logging.h"
#include "core/pipes.h"
#include "core/stop.h"
#include "sentera/cam_sentera.h"
#include "sentera/senteraShare.h"

namespace {

// What every driver operation may need besides the camera type.
struct DriverArgs {
    CameraContext* cam;
    int fcFd;
    int sysId;
    int compId;
};

int isMounted(int type, const DriverArgs& a) {
    logPrintf("vorn-camera isMounted type=%d\n", type);
    switch (type) {
    case CAMTYPE_NONE: return isMounted_none(a.cam, a.fcFd, a.sysId, a.compId);
    case CAMTYPE_SURVEY3: return isMounted_survey3(a.cam, a.fcFd, a.sysId, a.compId);
    case CAMTYPE_KERNEL: return isMounted_kernel(a.cam, a.fcFd, a.sysId, a.compId);
    case CAMTYPE_SONY: return isMounted_sony(a.cam, a.fcFd, a.sysId, a.compId);
    case CAMTYPE_SENTERA: return isMounted_sentera();
    default: return 0;
    }
}

int triggerCamera(int type, sqlite3_stmt* insertImageStmt, const DriverArgs& a) {
    logPrintf("vorn-camera triggerCamera type=%d\n", type);
    switch (type) {
    case CAMTYPE_NONE: return trigger_none(a.cam, insertImageStmt, a.fcFd, a.sysId, a.compId);
    case CAMTYPE_SURVEY3: return trigger_survey3(a.cam, insertImageStmt, a.fcFd, a.sysId, a.compId);
    case CAMTYPE_KERNEL: return trigger_kernel(a.cam, insertImageStmt, a.fcFd, a.sysId, a.compId);
    case CAMTYPE_SONY: return trigger_sony(a.cam, insertImageStmt, a.fcFd, a.sysId, a.compId);
    default: return 1; // a Sentera camera records through its session
    }
}

int unmountCamera(int type, const DriverArgs& a) {
    switch (type) {
    case CAMTYPE_NONE: return unmount_none(a.cam, a.fcFd, a.sysId, a.compId);
    case CAMTYPE_SURVEY3: return unmount_survey3(a.cam, a.fcFd, a.sysId, a.compId);
    case CAMTYPE_KERNEL: return unmount_kernel(a.cam, a.fcFd, a.sysId, a.compId);
    case CAMTYPE_SONY: return unmount_sony(a.cam, a.fcFd, a.sysId, a.compId);
    case CAMTYPE_SENTERA: return unmount_sentera();
    default: return 1;
    }
}

// The flight number the ground asked about; the message handler writes it under the lock.
uint16_t currentFlightID(CameraContext* cam) {
    std::lock_guard<std::mutex> guard(cam->lock);
    return static_cast<uint16_t>(cam->flightID);
}

// The camera type of a past flight, 0 when it cannot be found.
int flightCamType(CameraContext* cam, uint16_t flightID) {
    logPuts("vorn-camera cameraThread mountCamera retrieving camType from database");
    int rc = 0;
    Stmt stmt = prepareStmt(cam->db, sql::selectFlightCamType, &rc);
    if (!stmt) {
        logPrintf("vorn-camera cameraThread mountCamera sqlite3_prepare_v2(%s) failed, rc=%d\n",
                  sql::selectFlightCamType, rc);
        return 0;
    }
    rc = sqlite3_bind_int(stmt.get(), 1, flightID);
    if (rc != SQLITE_OK)
        logPrintf("vorn-camera cameraThread mountCamera failed to bind parameter: %s\n\r", sqlite3_errstr(rc));
    if (sqlite3_step(stmt.get()) != SQLITE_ROW) return 0;
    int type = sqlite3_column_int(stmt.get(), 0);
    logPrintf("vorn-camera cameraThread mountCamera using camType = %d\n", type);
    return type;
}

int mountCamera(int type, const DriverArgs& a) {
    if (type == 0) {
        uint16_t flightID = currentFlightID(a.cam);
        if (flightID != 0) type = flightCamType(a.cam, flightID);
    }
    switch (type) {
    case CAMTYPE_NONE: return mount_none(a.cam, a.fcFd, a.sysId, a.compId);
    case CAMTYPE_SURVEY3: return mount_survey3(a.cam, a.fcFd, a.sysId, a.compId);
    case CAMTYPE_KERNEL: return mount_kernel(a.cam, a.fcFd, a.sysId, a.compId);
    case CAMTYPE_SONY: return mount_sony(a.cam, a.fcFd, a.sysId, a.compId);
    case CAMTYPE_SENTERA: return mount_sentera();
    default: return 1;
    }
}

int preflightCamera(int type, const DriverArgs& a) {
    switch (type) {
    case CAMTYPE_NONE: return preflight_none(a.cam, a.fcFd, a.sysId, a.compId);
    case CAMTYPE_SURVEY3: return preflight_survey3(a.cam, a.fcFd, a.sysId, a.compId);
    case CAMTYPE_KERNEL: return preflight_kernel(a.cam, a.fcFd, a.sysId, a.compId);
    case CAMTYPE_SONY: return preflight_sony(a.cam, a.fcFd, a.sysId, a.compId);
    default: return 0;
    }
}

int postflightCamera(int type, const DriverArgs& a) {
    logPrintf("vorn-camera cameraThread postflightCamera(%d)\n", type);
    switch (type) {
    case CAMTYPE_NONE: return postflight_none(a.cam, a.fcFd, a.sysId, a.compId);
    case CAMTYPE_SURVEY3: return postflight_survey3(a.cam, a.fcFd, a.sysId, a.compId);
    case CAMTYPE_KERNEL: return postflight_kernel(a.cam, a.fcFd, a.sysId, a.compId);
    case CAMTYPE_SONY: return postflight_sony(a.cam, a.fcFd, a.sysId, a.compId);
    case CAMTYPE_SENTERA: return postflight_sentera(a.cam);
    default: return 0;
    }
}

void sonyCommand(uint8_t cmd) {
    switch (cmd) {
    case CAM_ZOOM_IN: zoomin_sony(); break;
    case CAM_ZOOM_OUT: zoomout_sony(); break;
    case CAM_ZOOM_STOP: zoomstop_sony(); break;
    case CAM_MODE_STILL: modestill_sony(); break;
    case CAM_MODE_MOVIE: modemovie_sony(); break;
    default: break;
    }
}

void senteraCommand(uint8_t cmd, CameraContext* cam) {
    if (cmd == CAM_LANDING) {
        stopSession_sentera();
        return;
    }
    char missionID[sizeof cam->missionID + 1] = {};
    {
        std::lock_guard<std::mutex> guard(cam->lock);
        std::memcpy(missionID, cam->missionID, sizeof cam->missionID);
    }
    startSession_sentera(missionID);
}

void execute(const CameraCommand& command, sqlite3_stmt* insertImageStmt, const DriverArgs& a) {
    int type = command.camType;
    switch (command.cmd) {
    case CAM_TRIGGER:
        if (isMounted(type, a)) unmountCamera(type, a);
        triggerCamera(type, insertImageStmt, a);
        break;
    case CAM_UNMOUNT: unmountCamera(type, a); break;
    case CAM_MOUNT: mountCamera(type, a); break;
    case CAM_PREFLIGHT: preflightCamera(type, a); break;
    case CAM_POSTFLIGHT: postflightCamera(type, a); break;
    case CAM_ZOOM_IN:
    case CAM_ZOOM_OUT:
    case CAM_ZOOM_STOP:
    case CAM_MODE_STILL:
    case CAM_MODE_MOVIE:
        if (type == CAMTYPE_SONY) sonyCommand(command.cmd);
        break;
    case CAM_TAKEOFF:
    case CAM_LANDING:
        if (type == CAMTYPE_SENTERA) senteraCommand(command.cmd, a.cam);
        break;
    default: break;
    }
}

// Creates one table; logs as the camera thread does.
bool createTable(sqlite3* db, const char* name, const char* statement) {
    logPrintf("vorn-camera cameraThread try to create table '%s'\n", name);
    int rc = sqlite3_exec(db, statement, nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) {
        logPrintf("vorn-camera cameraThread create table %s failed, rc=%d\n", name, rc);
        return false;
    }
    return true;
}

// Creates the tables and prepares the shot insert (empty when it cannot be prepared).
Stmt prepareDatabase(sqlite3* db) {
    Stmt insertImageStmt;
    if (createTable(db, "image", sql::createImage)) {
        int rc = 0;
        insertImageStmt = prepareStmt(db, sql::insertImage, &rc);
        if (!insertImageStmt)
            logPrintf("vorn-camera cameraThread sqlite3_prepare_v2(%s) failed, rc=%d\n", sql::insertImage, rc);
    }
    createTable(db, "oldfiles", sql::createOldfiles);
    createTable(db, "flights", sql::createFlights);
    createTable(db, "unknownFiles", sql::createUnknownFiles);
    createTable(db, "untagged", sql::createUntagged);
    createTable(db, "pendingFlight", sql::createPendingFlight);
    createTable(db, "pairing", sql::createPairing);
    createTable(db, "unpaired", sql::createUnpaired);
    createTable(db, "pictureTime", sql::createPictureTime);
    return insertImageStmt;
}

} // namespace

void cameraThread(AppContext* ctx) {
    if (!ctx) {
        logPuts("vorn-camera cameraThread exit");
        return;
    }
    logPuts("vorn-camera cameraThread started...");
    CameraContext* cam = &ctx->camera;
    Stmt insertImageStmt;
    if (cam->db) insertImageStmt = prepareDatabase(cam->db);

    DriverArgs args{cam, ctx->fcPipe[1], ctx->fcSysId, ctx->fcCompId};
    initialize_none(cam, args.fcFd, args.sysId, args.compId);
    initialize_survey3(cam, args.fcFd, args.sysId, args.compId);
    initialize_kernel(cam, args.fcFd, args.sysId, args.compId);

    CameraCommand command{};
    while (!ctx->quit) {
        if (!waitReadable(ctx, cam->cameraPipe[0], 5000)) continue;
        if (!pipeRead(cam->cameraPipe[0], &command, sizeof command)) {
            logPuts("vorn-camera cameraThread failed to read from cameraPipe");
            continue;
        }
        logPrintf("vorn-camera cameraThread read cmd=%d, type=%d\n", command.cmd, command.camType);
        args.sysId = ctx->fcSysId;
        args.compId = ctx->fcCompId;
        execute(command, insertImageStmt.get(), args);
    }
    logPuts("vorn-camera cameraThread exit");
}
