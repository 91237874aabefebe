// Which image files on a camera card belong to which flight: the files found before a flight
// (unknownFiles), the flight's shots as a list, the card's new files as a sorted list, and the
// archiving of shots that carry a path. Also the small file-system probes the drivers use.
#pragma once

#include <sqlite3.h>

#include <cstddef>
#include <cstdint>

#include "core/AppContext.h"

// Longest path (without its terminating zero) any list or table entry holds.
inline constexpr size_t maxPathLength = 255;

// One row of table image and, after pairing, the file it was paired with.
struct ImageNode {
    int32_t id;
    int32_t size;
    char path[256];
    GeoData geo;
    ImageNode* next;
};

// One image file on the card.
struct FileNode {
    int32_t mtime;
    int32_t size;
    char path[256];
    FileNode* next;
};

// 1 if stat succeeds on the path, else 0.
int exists(const char* path);

// Looks for a block device. An already filled buffer is only re-checked. Otherwise the pattern's
// "%c" is replaced by 'a' to 'z' in turn and the first path that exists is kept in the buffer.
// The pattern is a path as used: callers resolve their fixed paths through sandboxPath().
int isDevicePresent(char* device, size_t size, const char* pattern);

// Records the files of dir with extension ext (without its dot) that are not archived in
// unknownFiles, replacing its contents; returns their number.
int getUnknownFiles(sqlite3* db, const char* dir, const char* ext);

// The rows of table image in id order; none when the table is empty or cannot be read.
ImageNode* getListImages(sqlite3* db);

// The files of dir with extension ext that are neither archived nor unknown, sorted by path
// without regard to letter case; none when there are none.
FileNode* getListFiles(sqlite3* db, const char* dir, const char* ext);

// 1 if the path (in any letter case) is in oldfiles / unknownFiles, else 0.
int anOldFile(sqlite3* db, const char* path);
int anUnknownFile(sqlite3* db, const char* path);

// qsort comparison of two FileNode pointers by path, letter case ignored.
int cmpFileNodePath(const void* a, const void* b);

// Archives the existing files named by the rows of image under a new flight number, writes the
// flight's row and removes the shots whose file is archived from image (a shot without an
// archived image stays). Returns the number of files archived, 0 when removing fails.
int storeFlightImages(CameraContext* cam);

int countImageList(const ImageNode* list);
int countFileList(const FileNode* list);
void freeImageList(ImageNode* list);
void freeFileList(FileNode* list);
