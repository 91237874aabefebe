// When the camera took each picture, by its own clock, for pairing shots and pictures by time.
// Tagging overwrites a picture's DateTimeOriginal with its shot's time, so the camera's times are
// recorded (table pictureTime) when a flight is paired by time, before any of its pictures is
// tagged, and read from there afterwards: a pass rolled back, cut short or retried sees the times
// the first one saw. (Whether to pair by time is decided on the files' modification times, which
// tagging keeps.)
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "archive/cardInventory.h"

struct PictureTimes {
    std::vector<int64_t> ms; // per file of the list: ms since the epoch of the camera's clock
    int64_t resolutionMs;    // the step the times come in
    bool fromExif;           // DateTimeOriginal of every picture; else the files' modification times
};

// The EXIF DateTimeOriginal of the picture (with SubSecTimeOriginal where the camera writes it) as
// ms, read as if it were UTC, and its step in ms; none when the picture carries none.
std::optional<std::pair<int64_t, int64_t>> exifTakenMs(const std::string& path);

// The times of the files, recorded first where they are not yet (one transaction for the list);
// none when they could not be recorded (the pass is then not run, and the ground told so). The pictures' own times when every one has them, else the
// files' modification times (two-second steps when all are even, as on FAT cards).
std::optional<PictureTimes> recordedPictureTimes(sqlite3* db, const FileList& files);
