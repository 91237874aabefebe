#include "core/database.h"

#include <sqlite3.h>

#include "core/logging.h"

namespace {

// Someone inspecting geodata.db with another program during a flight holds its lock for a
// moment; a shot row must wait for it rather than be lost.
constexpr int busyTimeoutMs = 2000;

} // namespace

sqlite3* openGeotagDatabase(const char* dbFile) {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(dbFile, &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) != 0) {
        logPrintf("vorn-camera failed to open sqlite3 db %s\n", dbFile);
        sqlite3_close(db);
        return nullptr;
    }
    sqlite3_busy_timeout(db, busyTimeoutMs);
    return db;
}
