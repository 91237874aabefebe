#include "archive/cardInventory.h"

#include <dirent.h>
#include <strings.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "core/handles.h"
#include "core/logging.h"
#include "core/userMessage.h"

namespace {

// Taken when the text after the name's last dot equals the extension, letter case ignored.
bool matchesExtension(const char* name, const char* ext) {
    const char* dot = std::strrchr(name, '.');
    if (!dot || std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) return false;
    return strcasecmp(dot + 1, ext) == 0;
}

// Runs a path lookup: 1 when a row comes back, 0 when none, -1 (logged) when it fails.
int pathLookup(sqlite3* db, const char* statement, const char* caller, const std::string& path) {
    int rc = 0;
    Stmt stmt = prepareStmt(db, statement, &rc);
    if (!stmt) {
        logPrintf("vorn-camera %s failed to prepare(%s)\n", caller, statement);
        return -1;
    }
    sqlite3_bind_text(stmt.get(), 1, path.data(), static_cast<int>(path.size()), SQLITE_TRANSIENT);
    rc = sqlite3_step(stmt.get());
    if (rc == SQLITE_ROW) return 1;
    if (rc == SQLITE_DONE) return 0;
    logPrintf("vorn-camera %s step failed, rc=%d\n", caller, rc);
    return -1;
}

// 1 when the path is archived or unknown, 0 when it is new, -1 when that cannot be told.
int knownFile(sqlite3* db, const std::string& path) {
    int old = anOldFile(db, path.c_str());
    return old != 0 ? old : anUnknownFile(db, path.c_str());
}

// The paths of the directory's files with the extension that are neither archived nor unknown, in
// directory order; none when the directory cannot be opened or a lookup fails.
std::optional<std::vector<std::string>> newPaths(sqlite3* db, const char* dir, const char* ext, const char* caller) {
    DirPtr d{opendir(dir)};
    if (!d) {
        logPrintf("vorn-camera %s failed to open directory(%s)\n", caller, dir);
        return std::nullopt;
    }
    std::vector<std::string> paths;
    while (dirent* entry = readdir(d.get())) {
        if (!matchesExtension(entry->d_name, ext)) continue;
        std::string path = std::string(dir) + "/" + entry->d_name;
        int known = knownFile(db, path);
        if (known < 0) return std::nullopt;
        if (known == 0) paths.push_back(std::move(path));
    }
    return paths;
}

bool lessIgnoringCase(const std::string& a, const std::string& b) {
    return strcasecmp(a.c_str(), b.c_str()) < 0;
}

std::string columnText(sqlite3_stmt* stmt, int column) {
    const unsigned char* text = sqlite3_column_text(stmt, column);
    return text ? reinterpret_cast<const char*>(text) : "";
}

} // namespace

int exists(const char* path) {
    struct stat st;
    return stat(path, &st) == 0 ? 1 : 0;
}

int isDevicePresent(char* device, size_t size, const char* pattern) {
    if (device[0] != '\0') return exists(device);
    std::string templ = pattern;
    size_t slot = templ.find("%c");
    for (char letter = 'a'; letter <= 'z'; ++letter) {
        std::string candidate = templ;
        if (slot != std::string::npos) candidate.replace(slot, 2, 1, letter);
        if (candidate.size() < size) {
            std::memcpy(device, candidate.c_str(), candidate.size() + 1);
            if (exists(device)) return 1;
        }
        std::memset(device, 0, size);
    }
    return 0;
}

int getUnknownFiles(WriteTransaction& tx, const char* dir, const char* ext) {
    if (!tx.exec(sql::deleteUnknownFiles)) return -1;
    Stmt insert = tx.prepare(sql::insertUnknownFile);
    if (!insert) return -1;
    std::optional<std::vector<std::string>> paths = newPaths(tx.db(), dir, ext, "getUnknownFiles");
    if (!paths) return -1;
    // A name met again in other letter cases is the same path for the table: entered once.
    std::sort(paths->begin(), paths->end(), lessIgnoringCase);
    paths->erase(std::unique(paths->begin(), paths->end(),
                             [](const std::string& a, const std::string& b) { return !lessIgnoringCase(a, b); }),
                 paths->end());
    for (const std::string& path : *paths) {
        sqlite3_bind_text(insert.get(), 1, path.data(), static_cast<int>(path.size()), SQLITE_TRANSIENT);
        if (!tx.step(insert.get(), "insertUnknown(" + path + ")")) return -1;
    }
    return static_cast<int>(paths->size());
}

std::optional<ImageList> getListImages(sqlite3* db) {
    int rc = 0;
    Stmt stmt = prepareStmt(db, sql::selectImages, &rc);
    if (!stmt) {
        logPrintf("vorn-camera getListImages failed to prepare(%s)\n", sql::selectImages);
        return std::nullopt;
    }
    ImageList images;
    while ((rc = sqlite3_step(stmt.get())) == SQLITE_ROW) {
        sqlite3_stmt* s = stmt.get();
        ImageRecord& r = images.emplace_back();
        r.id = sqlite3_column_int64(s, 0);
        r.geo.time = sqlite3_column_int64(s, 1);
        r.geo.lat = sqlite3_column_int(s, 2);
        r.geo.lon = sqlite3_column_int(s, 3);
        r.geo.pitch = sqlite3_column_int(s, 4);
        r.geo.roll = sqlite3_column_int(s, 5);
        r.geo.yaw = sqlite3_column_int(s, 6);
        r.geo.heading = static_cast<uint16_t>(sqlite3_column_int64(s, 7));
        r.geo.alt = sqlite3_column_int(s, 8);
        r.size = sqlite3_column_int64(s, 9);
        r.path = columnText(s, 10);
        r.unpaired = columnText(s, 11);
    }
    if (rc == SQLITE_DONE) return images;
    logPrintf("vorn-camera getListImages step failed, rc=%d\n", rc);
    return std::nullopt;
}

std::optional<FileList> getListFiles(sqlite3* db, const char* dir, const char* ext) {
    std::optional<std::vector<std::string>> paths = newPaths(db, dir, ext, "getLastFile");
    if (!paths) return std::nullopt;
    FileList files;
    for (std::string& path : *paths) {
        struct stat st;
        if (stat(path.c_str(), &st) != 0) continue;
        logPrintf("vorn-camera getListFiles adding new file (%s)\n", path.c_str());
        files.push_back({static_cast<int64_t>(st.st_mtime), static_cast<int64_t>(st.st_size), std::move(path)});
    }
    std::sort(files.begin(), files.end(),
              [](const FileRecord& a, const FileRecord& b) { return lessIgnoringCase(a.path, b.path); });
    return files;
}

int anOldFile(sqlite3* db, const char* path) {
    return pathLookup(db, sql::selectOldFile, "anOldFile", path);
}

int anUnknownFile(sqlite3* db, const char* path) {
    return pathLookup(db, sql::selectUnknownFile, "anUnknownFile", path);
}

int storeFlightImages(CameraContext* cam) {
    const FlightIdentity flight = pendingFlights(cam).back();
    WriteTransaction tx(cam->db, "storeFlightImages");
    auto rolledBack = [&tx] {
        warnGround(GroundWarning::PassRolledBack, "archive rolled back: %s", tx.why());
        return 0;
    };
    std::optional<int> flightNumber = nextFlightNumber(cam->db);
    Stmt select = tx.prepare(sql::selectImagePaths);
    Stmt insert = tx.prepare(sql::insertOldFile);
    if (!tx.begun() || !flightNumber || !select || !insert) return rolledBack();
    int count = 0;
    std::string lastPath;
    int rc;
    while ((rc = sqlite3_step(select.get())) == SQLITE_ROW) {
        lastPath = columnText(select.get(), 0);
        if (!exists(lastPath.c_str())) continue;
        sqlite3_bind_text(insert.get(), 1, lastPath.data(), static_cast<int>(lastPath.size()), SQLITE_TRANSIENT);
        sqlite3_bind_int64(insert.get(), 2, sqlite3_column_int64(select.get(), 1));
        sqlite3_bind_int(insert.get(), 3, *flightNumber);
        int added = tx.insert(insert.get(), "insertOld(" + lastPath + ")");
        if (added < 0) return rolledBack();
        count += added;
    }
    select.reset();
    if (rc != SQLITE_DONE) {
        logPrintf("vorn-camera storeFlightImages step failed, rc=%d\n", rc);
        tx.fail(rc);
        return rolledBack();
    }
    if (!writeFlightRow(tx, *flightNumber, flight, lastPath) || !tx.exec(sql::deleteArchivedShots) || !tx.commit())
        return rolledBack();
    return count;
}
