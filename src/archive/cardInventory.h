// Which image files on a camera card belong to which flight: the files found before a flight
// (unknownFiles), the flight's shots as a list, the card's new files as a sorted list, and the
// archiving of shots that carry a path. Also the small file-system probes the drivers use.
#pragma once

#include <sqlite3.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "archive/geotagDb.h"
#include "core/AppContext.h"

// One row of table image and, after pairing, the file it was paired with.
struct ImageRecord {
    int64_t id = 0;
    int64_t size = 0;
    std::string path;
    GeoData geo{};
    std::string unpaired; // why a committed pass paired it with no picture
};
using ImageList = std::vector<ImageRecord>;

// One image file on the card.
struct FileRecord {
    int64_t mtime = 0; // seconds since the epoch
    int64_t size = 0;
    std::string path;
};
using FileList = std::vector<FileRecord>;

// 1 if stat succeeds on the path, else 0.
int exists(const char* path);

// Looks for a block device. An already filled buffer is only re-checked. Otherwise the pattern's
// "%c" is replaced by 'a' to 'z' in turn and the first path that exists is kept in the buffer.
// The pattern is a path as used: callers resolve their fixed paths through sandboxPath().
int isDevicePresent(char* device, size_t size, const char* pattern);

// Records the files of dir with extension ext (without its dot) that are not archived in
// unknownFiles, replacing its contents, inside the caller's transaction; returns their number, or
// -1 when the list could not be written whole (the transaction must then be rolled back).
int getUnknownFiles(WriteTransaction& tx, const char* dir, const char* ext);

// The rows of table image in id order that are not archived yet; none when they cannot be read
// (a failed read is never taken for an empty table).
std::optional<ImageList> getListImages(sqlite3* db);

// The files of dir with extension ext that are neither archived nor unknown, sorted by path
// without regard to letter case; none when the directory or the tables cannot be read.
std::optional<FileList> getListFiles(sqlite3* db, const char* dir, const char* ext);

// 1 if the path (in any letter case) is in oldfiles / unknownFiles, 0 if not, -1 when the lookup
// fails.
int anOldFile(sqlite3* db, const char* path);
int anUnknownFile(sqlite3* db, const char* path);

// Archives the existing files named by the rows of image under a new flight number, writes the
// flight's row and removes the shots whose file is archived from image (a shot without an
// archived image stays), all in one transaction. Returns the number of files archived, 0 when
// nothing could be written (logged, rolled back).
int storeFlightImages(CameraContext* cam);
