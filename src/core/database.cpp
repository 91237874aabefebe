#include "core/database.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <cstdio>
#include <ctime>
#include <string>

#include "core/logging.h"
#include "core/shell.h"
#include "core/userMessage.h"

namespace {

// Someone inspecting geodata.db with another program during a flight holds its lock for a
// moment; a shot row must wait for it rather than be lost.
constexpr int busyTimeoutMs = 2000;

// True when the file opens as a database and passes SQLite's quick check. Opening it read-write
// lets SQLite roll back a journal left by a power cut, as the daemon's own open would.
bool passesCheck(const std::string& path) {
    struct stat info;
    if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
    sqlite3* db = nullptr;
    bool ok = false;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK) {
        sqlite3_busy_timeout(db, busyTimeoutMs);
        sqlite3_stmt* stmt = nullptr;
        if (sqlite3_prepare_v2(db, "PRAGMA quick_check", -1, &stmt, nullptr) == SQLITE_OK &&
            sqlite3_step(stmt) == SQLITE_ROW) {
            const unsigned char* result = sqlite3_column_text(stmt, 0);
            ok = result && std::string(reinterpret_cast<const char*>(result)) == "ok";
        }
        sqlite3_finalize(stmt);
    }
    sqlite3_close(db);
    return ok;
}

// Renames path (and its journal, which belongs to it) to aside; false when it cannot be moved.
bool moveAside(const std::string& path, const std::string& aside) {
    if (std::rename(path.c_str(), aside.c_str()) != 0) return false;
    std::rename((path + "-journal").c_str(), (aside + "-journal").c_str());
    return true;
}

} // namespace

void setAsideDamagedDatabase(const char* dbFile) {
    std::string path = dbFile;
    struct stat info;
    if (lstat(dbFile, &info) != 0 || passesCheck(path)) return; // a missing file becomes a new database
    std::string aside = path + ".damaged-" + std::to_string(static_cast<long long>(std::time(nullptr)));
    if (!moveAside(path, aside)) {
        logPrintf("vorn-camera %s is damaged and cannot be moved aside\n", dbFile);
        warnGround(GroundWarning::DatabaseDamaged, "%s damaged, could not be set aside", dbFile);
        return;
    }
    std::string backup = path + ".bak";
    std::string failure;
    if (passesCheck(backup) && runShellOk("cp -f " + shellQuote(backup) + " " + shellQuote(path), &failure)) {
        logPrintf("vorn-camera %s is damaged: kept as %s, restored from %s\n", dbFile, aside.c_str(), backup.c_str());
        warnGround(GroundWarning::DatabaseDamaged, "%s damaged: set aside, backup restored", dbFile);
        return;
    }
    std::remove(path.c_str()); // a copy that failed half way
    logPrintf("vorn-camera %s is damaged: kept as %s, no usable backup, starting a new one\n", dbFile, aside.c_str());
    warnGround(GroundWarning::DatabaseDamaged, "%s damaged: set aside, new database", dbFile);
}

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
