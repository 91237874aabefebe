#include "archive/geotagDb.h"

#include <chrono>
#include <mutex>
#include <thread>

#include "core/logging.h"

namespace {

// How long a commit the database is too busy for is tried again, besides each try's busy wait.
constexpr std::chrono::seconds commitRetry{10};

} // namespace

Stmt prepareStmt(sqlite3* db, const char* text, int* rc) {
    sqlite3_stmt* stmt = nullptr;
    *rc = sqlite3_prepare_v2(db, text, -1, &stmt, nullptr);
    if (*rc != SQLITE_OK) {
        sqlite3_finalize(stmt);
        return Stmt();
    }
    return Stmt(stmt);
}

WriteTransaction::WriteTransaction(sqlite3* db, const char* caller) : db_(db), caller_(caller) {
    open_ = exec(sql::beginTransaction);
}

WriteTransaction::~WriteTransaction() {
    if (!open_ || done_ || sqlite3_get_autocommit(db_)) return; // SQLite may have rolled back itself
    int rc = sqlite3_exec(db_, sql::rollbackTransaction, nullptr, nullptr, nullptr);
    logPrintf("vorn-camera %s rolled back, rc=%d\n", caller_, rc == SQLITE_OK ? rc_ : rc);
}

Stmt WriteTransaction::prepare(const char* statement) {
    int rc = 0;
    Stmt stmt = prepareStmt(db_, statement, &rc);
    if (!stmt) {
        logPrintf("vorn-camera %s sqlite3_prepare_v2(%s) failed, rc=%d\n", caller_, statement, rc);
        fail(rc);
    }
    return stmt;
}

bool WriteTransaction::exec(const char* statement) {
    int rc = sqlite3_exec(db_, statement, nullptr, nullptr, nullptr);
    if (rc == SQLITE_OK) return true;
    logPrintf("vorn-camera %s sqlite3_exec(%s) failed, rc=%d\n", caller_, statement, rc);
    fail(rc);
    return false;
}

bool WriteTransaction::step(sqlite3_stmt* stmt, const std::string& item) {
    int added = insert(stmt, item);
    if (added == 0) fail(SQLITE_CONSTRAINT); // only an insert may meet its row there already
    return added > 0;
}

int WriteTransaction::insert(sqlite3_stmt* stmt, const std::string& item) {
    int rc = sqlite3_step(stmt);
    sqlite3_reset(stmt);
    if (rc == SQLITE_DONE) return 1;
    logPrintf("vorn-camera %s %s failed, rc=%d\n", caller_,
              item.empty() ? ("stmt(" + std::string(sqlite3_sql(stmt)) + ")").c_str() : item.c_str(), rc);
    if (rc == SQLITE_CONSTRAINT) return 0;
    fail(rc);
    return -1;
}

bool WriteTransaction::commit() {
    if (!begun() || sqlite3_get_autocommit(db_)) {
        fail(SQLITE_ABORT); // a failed statement already ended it
        return false;
    }
    const auto giveUp = std::chrono::steady_clock::now() + commitRetry;
    int rc;
    while ((rc = sqlite3_exec(db_, sql::endTransaction, nullptr, nullptr, nullptr)) == SQLITE_BUSY &&
           std::chrono::steady_clock::now() < giveUp)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (rc == SQLITE_OK) return done_ = true;
    logPrintf("vorn-camera %s sqlite3_exec(%s) failed, rc=%d\n", caller_, sql::endTransaction, rc);
    fail(rc);
    return false; // rolled back as the object ends
}

FlightIdentity contextFlight(CameraContext* cam) {
    std::lock_guard<std::mutex> guard(cam->lock);
    return {std::string(cam->missionID, missionIdLength(cam->missionID)), cam->camType, cam->flightTime, 0, 0, 0};
}

bool recordFlight(WriteTransaction& tx, const FlightIdentity& flight) {
    if (flight.row != 0) {
        Stmt stmt = tx.prepare(sql::numberPendingFlight);
        if (!stmt) return false;
        sqlite3_bind_int(stmt.get(), 1, flight.flightNumber);
        sqlite3_bind_int64(stmt.get(), 2, flight.row);
        return tx.step(stmt.get());
    }
    Stmt stmt = tx.prepare(sql::insertPendingFlight);
    if (!stmt) return false;
    if (flight.firstShot != 0) sqlite3_bind_int64(stmt.get(), 1, flight.firstShot);
    sqlite3_bind_text(stmt.get(), 2, flight.missionID.data(), static_cast<int>(flight.missionID.size()),
                      SQLITE_TRANSIENT);
    sqlite3_bind_int(stmt.get(), 3, flight.camType);
    sqlite3_bind_int64(stmt.get(), 4, flight.time);
    if (flight.flightNumber != 0) sqlite3_bind_int(stmt.get(), 5, flight.flightNumber);
    return tx.step(stmt.get());
}

std::vector<FlightIdentity> pendingFlights(CameraContext* cam) {
    std::vector<FlightIdentity> flights;
    int rc = 0;
    Stmt stmt = prepareStmt(cam->db, sql::selectPendingFlights, &rc);
    while (stmt && (rc = sqlite3_step(stmt.get())) == SQLITE_ROW) {
        sqlite3_stmt* s = stmt.get();
        const char* mission = reinterpret_cast<const char*>(sqlite3_column_text(s, 2));
        flights.push_back({mission ? mission : "", sqlite3_column_int(s, 3), sqlite3_column_int64(s, 4),
                           sqlite3_column_int(s, 5), sqlite3_column_int64(s, 0), sqlite3_column_int64(s, 1)});
    }
    if (rc != SQLITE_DONE) {
        logPrintf("vorn-camera pendingFlights failed to read (%s), rc=%d: the flight is the context's\n",
                  sql::selectPendingFlights, rc);
        flights.clear();
    }
    if (flights.empty()) flights.push_back(contextFlight(cam));
    return flights;
}

std::optional<int> nextFlightNumber(sqlite3* db) {
    int rc = 0;
    Stmt stmt = prepareStmt(db, sql::maxFlightId, &rc);
    if (!stmt) {
        logPrintf("vorn-camera storeFlightImages sqlite3_prepare_v2(%s) failed, rc=%d\n", sql::maxFlightId, rc);
        return std::nullopt;
    }
    if ((rc = sqlite3_step(stmt.get())) != SQLITE_ROW) {
        logPrintf("vorn-camera storeFlightImages stmt(%s) failed, rc=%d\n", sql::maxFlightId, rc);
        return std::nullopt;
    }
    int flightNumber = sqlite3_column_int(stmt.get(), 0) + 1;
    logPrintf("vorn-camera storeFlightImages FlightID = %d\n", flightNumber);
    return flightNumber;
}

bool removeArchivedShots(sqlite3* db) {
    int rc = sqlite3_exec(db, sql::deleteArchivedShots, nullptr, nullptr, nullptr);
    if (rc == SQLITE_OK) return true;
    logPrintf("vorn-camera storeFlightImages sqlite3_exec(%s) failed, rc=%d\n", sql::deleteArchivedShots, rc);
    return false;
}

bool writeFlightRow(WriteTransaction& tx, int flightNumber, const FlightIdentity& flight,
                    const std::string& failedItem) {
    Stmt stmt = tx.prepare(sql::insertFlight);
    if (!stmt) return false;
    sqlite3_bind_int(stmt.get(), 1, flightNumber);
    sqlite3_bind_text(stmt.get(), 2, flight.missionID.data(), static_cast<int>(flight.missionID.size()),
                      SQLITE_TRANSIENT);
    sqlite3_bind_int(stmt.get(), 3, flight.camType);
    sqlite3_bind_int64(stmt.get(), 4, flight.time);
    return tx.step(stmt.get(), "stmt(" + failedItem + ")");
}
