#include "archive/geotagDb.h"

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <mutex>

#include "core/logging.h"

Stmt prepareStmt(sqlite3* db, const char* text, int* rc) {
    sqlite3_stmt* stmt = nullptr;
    *rc = sqlite3_prepare_v2(db, text, -1, &stmt, nullptr);
    if (*rc != SQLITE_OK) {
        sqlite3_finalize(stmt);
        return Stmt();
    }
    return Stmt(stmt);
}

int nextFlightNumber(sqlite3* db) {
    int flightNumber = 1;
    int rc = 0;
    Stmt stmt = prepareStmt(db, sql::maxFlightId, &rc);
    if (!stmt) {
        logPrintf("vorn-camera storeFlightImages sqlite3_prepare_v2(%s) failed, rc=%d\n", sql::maxFlightId, rc);
        return flightNumber;
    }
    if (sqlite3_step(stmt.get()) == SQLITE_ROW) {
        flightNumber = sqlite3_column_int(stmt.get(), 0) + 1;
        logPrintf("vorn-camera storeFlightImages FlightID = %d\n", flightNumber);
    }
    return flightNumber;
}

bool removeArchivedShots(sqlite3* db) {
    int rc = sqlite3_exec(db, sql::deleteArchivedShots, nullptr, nullptr, nullptr);
    if (rc == SQLITE_OK) return true;
    logPrintf("vorn-camera storeFlightImages sqlite3_exec(%s) failed, rc=%d\n", sql::deleteArchivedShots, rc);
    return false;
}

int writeFlightRow(CameraContext* cam, int flightNumber, const char* failedItem) {
    int rc = 0;
    Stmt stmt = prepareStmt(cam->db, sql::insertFlight, &rc);
    if (!stmt) {
        logPrintf("vorn-camera storeFlightImages sqlite3_prepare_v2(%s) failed, rc=%d\n", sql::insertFlight, rc);
        return 0;
    }
    char missionID[sizeof cam->missionID];
    int32_t camType;
    int64_t flightTime;
    {
        std::lock_guard<std::mutex> guard(cam->lock);
        std::copy(std::begin(cam->missionID), std::end(cam->missionID), missionID);
        camType = cam->camType;
        flightTime = cam->flightTime;
    }
    sqlite3_bind_int(stmt.get(), 1, flightNumber);
    sqlite3_bind_text(stmt.get(), 2, missionID, static_cast<int>(missionIdLength(missionID)), SQLITE_TRANSIENT);
    sqlite3_bind_int(stmt.get(), 3, camType);
    sqlite3_bind_int64(stmt.get(), 4, flightTime);
    rc = sqlite3_step(stmt.get());
    if (rc != SQLITE_DONE) {
        logPrintf("vorn-camera storeFlightImages stmt(%s) failed, rc=%d\n", failedItem, rc);
        return 0;
    }
    return 1;
}
