#include "archive/cardInventory.h"

#include <dirent.h>
#include <strings.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "archive/geotagDb.h"
#include "core/handles.h"
#include "core/logging.h"

namespace {

// Taken when the text after the name's last dot equals the extension, letter case ignored.
bool matchesExtension(const char* name, const char* ext) {
    const char* dot = std::strrchr(name, '.');
    if (!dot || std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) return false;
    return strcasecmp(dot + 1, ext) == 0;
}

// dir + "/" + name into out (256 bytes); false, with a log line naming the caller, when the
// full path would not fit, so an entry is skipped rather than cut to another file's name.
bool formPath(char (&out)[256], const char* caller, const char* dir, const char* name) {
    int n = std::snprintf(out, sizeof out, "%s/%s", dir, name);
    if (n < 0 || static_cast<size_t>(n) > maxPathLength) {
        logPrintf("vorn-camera %s skipping %s/%s: path longer than %zu bytes\n", caller, dir, name, maxPathLength);
        return false;
    }
    return true;
}

// Runs a path lookup; 1 when any row comes back.
int pathLookup(sqlite3* db, const char* statement, const char* caller, const char* path) {
    int rc = 0;
    Stmt stmt = prepareStmt(db, statement, &rc);
    if (!stmt) {
        logPrintf("vorn-camera %s failed to prepare(%s)\n", caller, statement);
        return 0;
    }
    sqlite3_bind_text(stmt.get(), 1, path, -1, SQLITE_TRANSIENT);
    int found = 0;
    while ((rc = sqlite3_step(stmt.get())) == SQLITE_ROW) found = 1;
    return found;
}

void copyColumnText(char (&out)[256], sqlite3_stmt* stmt, int column) {
    const unsigned char* text = sqlite3_column_text(stmt, column);
    std::snprintf(out, sizeof out, "%s", text ? reinterpret_cast<const char*>(text) : "");
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

int getUnknownFiles(sqlite3* db, const char* dir, const char* ext) {
    int rc = sqlite3_exec(db, sql::deleteUnknownFiles, nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) {
        logPrintf("vorn-camera getUnknownFiles sqlite3_exec(%s) failed, rc=%d\n", sql::deleteUnknownFiles, rc);
        return 0;
    }
    Stmt insert = prepareStmt(db, sql::insertUnknownFile, &rc);
    if (!insert) {
        logPrintf("vorn-camera getUnknownFiles sqlite3_prepare_v2(%s) failed, rc=%d\n", sql::insertUnknownFile, rc);
        return 0;
    }
    rc = sqlite3_exec(db, sql::beginTransaction, nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) {
        logPrintf("vorn-camera getUnknownFiles sqlite3_prepare_v2(%s) failed, rc=%d\n", sql::insertUnknownFile, rc);
        return 0;
    }
    logPuts("vorn-camera getUnknownFiles BEGIN TRANSACTION successful");

    int count = 0;
    if (DirPtr d{opendir(dir)}) {
        while (dirent* entry = readdir(d.get())) {
            char path[256];
            if (!matchesExtension(entry->d_name, ext) || !formPath(path, "getUnknownFiles", dir, entry->d_name))
                continue;
            if (anOldFile(db, path) || anUnknownFile(db, path)) continue;
            sqlite3_bind_text(insert.get(), 1, path, -1, SQLITE_TRANSIENT);
            rc = sqlite3_step(insert.get());
            if (rc != SQLITE_DONE) logPrintf("vorn-camera getUnknownFiles insertUnknown(%s) failed, rc=%d\n", path, rc);
            sqlite3_reset(insert.get());
            ++count;
        }
    }
    sqlite3_exec(db, sql::endTransaction, nullptr, nullptr, nullptr);
    return count;
}

ImageNode* getListImages(sqlite3* db) {
    int rc = 0;
    Stmt stmt = prepareStmt(db, sql::selectImages, &rc);
    if (!stmt) {
        logPrintf("vorn-camera getListImages failed to prepare(%s)\n", sql::selectImages);
        return nullptr;
    }
    ImageNode* head = nullptr;
    ImageNode** tail = &head;
    while ((rc = sqlite3_step(stmt.get())) == SQLITE_ROW) {
        sqlite3_stmt* s = stmt.get();
        auto* node = new ImageNode{};
        node->id = sqlite3_column_int(s, 0);
        node->geo.time = sqlite3_column_int64(s, 1);
        node->geo.lat = sqlite3_column_int(s, 2);
        node->geo.lon = sqlite3_column_int(s, 3);
        node->geo.pitch = sqlite3_column_int(s, 4);
        node->geo.roll = sqlite3_column_int(s, 5);
        node->geo.yaw = sqlite3_column_int(s, 6);
        node->geo.heading = static_cast<uint16_t>(sqlite3_column_int64(s, 7));
        node->geo.alt = sqlite3_column_int(s, 8);
        node->size = static_cast<int32_t>(sqlite3_column_int64(s, 9));
        copyColumnText(node->path, s, 10);
        *tail = node;
        tail = &node->next;
    }
    // The rows read before a failing step are still the flight's first shots: keep them.
    if (rc != SQLITE_DONE) logPrintf("vorn-camera getListImages step failed, rc=%d\n", rc);
    return head;
}

FileNode* getListFiles(sqlite3* db, const char* dir, const char* ext) {
    DirPtr d{opendir(dir)};
    if (!d) {
        logPrintf("vorn-camera getLastFile failed to open directory(%s)\n", dir);
        return nullptr;
    }
    std::vector<FileNode*> nodes;
    while (dirent* entry = readdir(d.get())) {
        char path[256];
        if (!matchesExtension(entry->d_name, ext) || !formPath(path, "getListFiles", dir, entry->d_name)) continue;
        if (anOldFile(db, path) || anUnknownFile(db, path)) continue;
        struct stat st;
        if (stat(path, &st) != 0) continue;
        auto* node = new FileNode{};
        node->mtime = static_cast<int32_t>(st.st_mtime);
        node->size = static_cast<int32_t>(st.st_size);
        std::memcpy(node->path, path, sizeof path);
        nodes.push_back(node);
        logPrintf("vorn-camera getListFiles adding new file (%s)\n", path);
    }
    if (nodes.empty()) return nullptr;
    std::qsort(nodes.data(), nodes.size(), sizeof(FileNode*), cmpFileNodePath);
    for (size_t i = 0; i + 1 < nodes.size(); ++i) nodes[i]->next = nodes[i + 1];
    nodes.back()->next = nullptr;
    return nodes.front();
}

int anOldFile(sqlite3* db, const char* path) {
    return pathLookup(db, sql::selectOldFile, "anOldFile", path);
}

int anUnknownFile(sqlite3* db, const char* path) {
    return pathLookup(db, sql::selectUnknownFile, "anUnknownFile", path);
}

int cmpFileNodePath(const void* a, const void* b) {
    const FileNode* left = *static_cast<const FileNode* const*>(a);
    const FileNode* right = *static_cast<const FileNode* const*>(b);
    return strcasecmp(left->path, right->path);
}

int storeFlightImages(CameraContext* cam) {
    sqlite3* db = cam->db;
    int flightNumber = nextFlightNumber(db);
    int count = 0;
    char lastPath[256] = "";
    int rc = 0;
    Stmt select = prepareStmt(db, sql::selectImagePaths, &rc);
    if (!select) {
        logPrintf("vorn-camera storeFlightImages sqlite3_prepare_v2(%s) failed, rc=%d\n", sql::selectImagePaths, rc);
    } else if (Stmt insert = prepareStmt(db, sql::insertOldFile, &rc); !insert) {
        logPrintf("vorn-camera storeFlightImages sqlite3_prepare_v2(%s) failed, rc=%d\n", sql::insertOldFile, rc);
    } else {
        while ((rc = sqlite3_step(select.get())) == SQLITE_ROW) {
            copyColumnText(lastPath, select.get(), 0);
            int size = sqlite3_column_int(select.get(), 1);
            if (!exists(lastPath)) continue;
            sqlite3_bind_text(insert.get(), 1, lastPath, -1, SQLITE_TRANSIENT);
            sqlite3_bind_int(insert.get(), 2, size);
            sqlite3_bind_int(insert.get(), 3, flightNumber);
            rc = sqlite3_step(insert.get());
            if (rc == SQLITE_DONE) ++count;
            else logPrintf("vorn-camera storeFlightImages insertOld(%s) failed, rc=%d\n", lastPath, rc);
            sqlite3_reset(insert.get());
        }
    }
    writeFlightRow(cam, flightNumber, lastPath);
    if (!removeArchivedShots(db)) return 0;
    return count;
}

int countImageList(const ImageNode* list) {
    int n = 0;
    for (; list; list = list->next) ++n;
    return n;
}

int countFileList(const FileNode* list) {
    int n = 0;
    for (; list; list = list->next) ++n;
    return n;
}

void freeImageList(ImageNode* list) {
    while (list) {
        ImageNode* next = list->next;
        delete list;
        list = next;
    }
}

void freeFileList(FileNode* list) {
    while (list) {
        FileNode* next = list->next;
        delete list;
        list = next;
    }
}
