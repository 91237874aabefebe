#include "core/database.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "core/fileIo.h"
#include "core/logging.h"
#include "core/userMessage.h"

namespace {

// Someone inspecting geodata.db with another program during a flight holds its lock for a
// moment; a shot row must wait for it rather than be lost.
constexpr int busyTimeoutMs = 2000;

// How long the check at start waits for a database another program holds locked.
constexpr int startBusyWaitMs = 30000;

// The files SQLite keeps beside a database: they belong to it.
const char* const companionSuffixes[] = {"-journal", "-wal", "-shm"};

enum class Check { Passed, Damaged, Busy };

// Whether the file opens as a database and passes SQLite's quick check. Opening it read-write
// lets SQLite roll back a journal left by a power cut, as the daemon's own open would. Busy: it
// stayed locked by another program for busyMs, which says nothing about its state.
Check checkFile(const std::string& path, int busyMs) {
    struct stat info;
    if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return Check::Damaged;
    sqlite3* db = nullptr;
    Check result = Check::Damaged;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK) {
        sqlite3_busy_timeout(db, busyMs);
        sqlite3_stmt* stmt = nullptr;
        int rc = sqlite3_prepare_v2(db, "PRAGMA quick_check", -1, &stmt, nullptr);
        if (rc == SQLITE_OK) rc = sqlite3_step(stmt);
        const unsigned char* text = rc == SQLITE_ROW ? sqlite3_column_text(stmt, 0) : nullptr;
        if (text && std::string(reinterpret_cast<const char*>(text)) == "ok") result = Check::Passed;
        else if ((rc & 0xFF) == SQLITE_BUSY || (rc & 0xFF) == SQLITE_LOCKED) result = Check::Busy;
        sqlite3_finalize(stmt);
    }
    sqlite3_close(db);
    return result;
}

bool passesCheck(const std::string& path) {
    return checkFile(path, busyTimeoutMs) == Check::Passed;
}

// Renames path (and the files SQLite keeps beside it) to aside; false when it cannot be moved.
bool moveAside(const std::string& path, const std::string& aside) {
    if (std::rename(path.c_str(), aside.c_str()) != 0) return false;
    for (const char* suffix : companionSuffixes) std::rename((path + suffix).c_str(), (aside + suffix).c_str());
    return true;
}

void removeWithJournal(const std::string& path) {
    std::remove(path.c_str());
    for (const char* suffix : companionSuffixes) std::remove((path + suffix).c_str());
}

// Copies the whole database into a new file at to; SQLite's result code. Another program
// writing the database holds it for a moment: the copy waits for it as a shot would.
int backupInto(sqlite3* from, const std::string& to) {
    sqlite3* dest = nullptr;
    int rc = sqlite3_open_v2(to.c_str(), &dest, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    if (rc == SQLITE_OK) {
        sqlite3_backup* backup = sqlite3_backup_init(dest, "main", from, "main");
        if (!backup) {
            rc = sqlite3_errcode(dest);
        } else {
            for (int waited = 0; (rc = sqlite3_backup_step(backup, -1)) == SQLITE_BUSY || rc == SQLITE_LOCKED;
                 waited += 100) {
                if (waited >= busyTimeoutMs) break;
                sqlite3_sleep(100);
            }
            int finished = sqlite3_backup_finish(backup);
            if (rc == SQLITE_DONE) rc = finished;
        }
        // A copy is one plain file, whatever journal the database it was taken from uses.
        if (rc == SQLITE_OK) rc = sqlite3_exec(dest, "PRAGMA journal_mode=DELETE", nullptr, nullptr, nullptr);
    }
    sqlite3_close(dest);
    return rc;
}

} // namespace

bool copyDatabase(sqlite3* from, const std::string& path, std::string* failure) {
    const std::string tmp = path + ".tmp";
    removeWithJournal(tmp); // left by a copy cut short
    std::string why;
    if (int rc = backupInto(from, tmp); rc != SQLITE_OK) why = sqlite3_errstr(rc);
    else if (!passesCheck(tmp)) why = "the copy fails the check";
    else if (std::rename(tmp.c_str(), path.c_str()) != 0) why = std::strerror(errno); // SQLite synced it
    if (why.empty()) {
        syncPath(directoryOf(path)); // the rename itself
        return true;
    }
    removeWithJournal(tmp);
    logPrintf("vorn-camera failed to copy the database to %s: %s; the previous copy stays\n", path.c_str(),
              why.c_str());
    if (failure) *failure = why;
    return false;
}

bool copyDatabaseFile(const std::string& from, const std::string& path, std::string* failure) {
    sqlite3* db = nullptr;
    bool copied = false;
    if (sqlite3_open_v2(from.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_busy_timeout(db, busyTimeoutMs);
        copied = copyDatabase(db, path, failure);
    } else {
        logPrintf("vorn-camera failed to copy the database %s: cannot open it\n", from.c_str());
        if (failure) *failure = "cannot open " + from;
    }
    sqlite3_close(db);
    return copied;
}

void backupDatabase(const char* dbFile) {
    struct stat info;
    if (stat(dbFile, &info) != 0) return; // a first start: nothing to keep yet
    std::string why;
    if (!copyDatabaseFile(dbFile, std::string(dbFile) + ".bak", &why))
        warnGround(GroundWarning::BackupFailed, "backup not written: %s", why.c_str());
}

std::string setAsideDamagedDatabase(const char* dbFile) {
    std::string path = dbFile;
    struct stat info;
    if (lstat(dbFile, &info) != 0) return path; // a missing file becomes a new database
    Check check = checkFile(path, busyTimeoutMs);
    if (check == Check::Busy) {
        logPrintf("vorn-camera %s is locked by another program: waiting for it\n", dbFile);
        check = checkFile(path, startBusyWaitMs);
    }
    if (check == Check::Passed) return path;
    if (check == Check::Busy) {
        logPrintf("vorn-camera %s stayed locked: not checked\n", dbFile);
        return path;
    }
    std::string aside = path + ".damaged-" + std::to_string(static_cast<long long>(std::time(nullptr)));
    if (!moveAside(path, aside)) {
        // Neither the damaged file nor the backup is touched: a new database beside them.
        std::string fresh = path + ".new";
        logPrintf("vorn-camera %s is damaged and cannot be moved aside: %s; starting on %s\n", dbFile,
                  std::strerror(errno), fresh.c_str());
        warnGround(GroundWarning::DatabaseDamaged, "%s damaged, could not be set aside: using %s", dbFile,
                   fresh.c_str());
        return fresh;
    }
    std::string backup = path + ".bak";
    if (passesCheck(backup) && copyDatabaseFile(backup, path)) {
        logPrintf("vorn-camera %s is damaged: kept as %s, restored from %s\n", dbFile, aside.c_str(), backup.c_str());
        warnGround(GroundWarning::DatabaseDamaged, "%s damaged: set aside, backup restored", dbFile);
        return path;
    }
    logPrintf("vorn-camera %s is damaged: kept as %s, no usable backup, starting a new one\n", dbFile, aside.c_str());
    warnGround(GroundWarning::DatabaseDamaged, "%s damaged: set aside, new database", dbFile);
    return path;
}

sqlite3* openGeotagDatabase(const char* dbFile) {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(dbFile, &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) != 0) {
        logPrintf("vorn-camera failed to open sqlite3 db %s\n", dbFile);
        sqlite3_close(db);
        return nullptr;
    }
    sqlite3_busy_timeout(db, busyTimeoutMs);
    // With a write-ahead log, a program reading the database (sqlite3 at the shell, a ground tool
    // copying it) never holds up a shot's row or a pass's commit, however long it reads.
    char* mode = nullptr;
    auto keep = [](void* out, int, char** v, char**) {
        *static_cast<char**>(out) = sqlite3_mprintf("%s", v[0]);
        return 0;
    };
    int rc = sqlite3_exec(db, "PRAGMA journal_mode=WAL", keep, &mode, nullptr);
    if (rc != SQLITE_OK || !mode || std::string(mode) != "wal")
        logPrintf("vorn-camera %s: no write-ahead log (rc=%d, journal %s): a long reader holds up its writes\n", dbFile,
                  rc, mode ? mode : "unknown");
    sqlite3_free(mode);
    return db;
}
