// Pairing of a flight's shots with the card's new image files, EXIF geotagging of each image with
// exiv2, archiving under a new flight number, and progress reports to the ground station.
#pragma once

#include <cstdint>

#include "archive/cardInventory.h"
#include "core/AppContext.h"

// Pairs the k-th shot with the k-th file: copies the file's path and size into the shot's node.
// Returns the number of pairs (0 when either list is empty).
int pairUpItemsPath(ImageNode* images, FileNode* files);

// The up to three characters before the path's last dot (the image number of IMG_0123.JPG);
// empty when the path has no dot. out holds at least 4 bytes. Returns out.
char* getShortName(char* out, const char* path);

// exiv2 argument texts (each at most 127 characters, out holds 128 bytes).
void formatLatitude(int32_t lat, char* out);   // degrees * 1e7
void formatLongitude(int32_t lon, char* out);  // degrees * 1e7
void formatAltitude(int32_t alt, char* out);   // millimetres
void formatHeading(int32_t track, char* out);  // hundredths of a degree, written as 0 to 359.99
void formatDateTaken(uint64_t time, char* out); // milliseconds since the epoch, written in local time

// Tags every paired image of the list with its shot, archives it in oldfiles under a new flight
// number, writes the flight's row, reports progress on fcPipe (-1: no reports), copies the
// database to geodone.db and empties table image. convert: the images are TIFFs to be turned
// into JPEGs first. Returns the number of images archived, 0 when emptying image fails.
int updatePairedImages(CameraContext* cam, ImageNode* images, int pairs, int fcPipe, int convert, int orientation);

// The postflight sequence shared by the card drivers: reads the shots and the new files of dir
// with extension ext, pairs them, tags and archives the pairs (no conversion, orientation 6) and
// frees both lists. caller names the driver operation in the log lines ("postflight_none").
// Returns 0, or 1 when fewer images were archived than paired.
int pairAndTagFlight(CameraContext* cam, const char* caller, const char* dir, const char* ext, int fcPipe);
