// Pairing of a flight's shots with the card's new image files, EXIF geotagging of each image with
// exiv2, archiving under a new flight number, and progress reports to the ground station.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "archive/cardInventory.h"
#include "core/AppContext.h"

// Pairs the k-th shot with the k-th file: copies the file's path and size into the shot's record.
// Returns the number of pairs (0 when either list is empty).
int pairUpItemsPath(ImageList& images, const FileList& files);

// The up to three characters before the path's last dot (the image number of IMG_0123.JPG);
// empty when the path has no dot. out holds at least 4 bytes. Returns out.
char* getShortName(char* out, const char* path);

// exiv2 argument texts (each at most 127 characters, out holds 128 bytes).
void formatLatitude(int32_t lat, char* out);   // degrees * 1e7
void formatLongitude(int32_t lon, char* out);  // degrees * 1e7
void formatAltitude(int32_t alt, char* out);   // millimetres
void formatHeading(int32_t track, char* out);  // hundredths of a degree, written as 0 to 359.99
void formatDateTaken(uint64_t time, char* out); // milliseconds since the epoch, written in local time

// The XMP namespace of the camera's attitude that photogrammetry suites read (prefix Camera).
inline constexpr const char* cameraXmpNamespace = "http://pix4d.com/camera/1.0/";

// The tags photogrammetry reads beside the position, as exiv2 argument texts: the GPS block's
// version and datum, the shot's UTC date and time, the track's reference, the image direction
// from the yaw, and the yaw, pitch and roll in degrees as XMP (its namespace registered first).
std::vector<std::string> surveyTagArguments(const GeoData& geo);

// Tags every paired image of the list with its shot, archives it in oldfiles under a new flight
// number, writes the flight's row (with the identity kept from its preflight), reports progress on
// fcPipe (-1: no reports), copies the
// database to geodone.db and removes the archived shots from table image; a shot whose image
// could not be tagged (or found no room on the card) stays there for the next pass, and the
// ground is warned. A picture is replaced only by a complete, checked tagged version of itself
// (writeTagsAside). convert: the images are TIFFs to be turned into JPEGs first. Returns the
// number of images archived, 0 when the pass was rolled back.
int updatePairedImages(CameraContext* cam, ImageList& images, int pairs, int fcPipe, int convert, int orientation);

// The postflight sequence shared by the card drivers: reads the shots and the new files of dir
// with extension ext, pairs them, tags and archives the pairs (no conversion, orientation 6),
// writes the flight's side files (flightExport, copied below cardRoot on the card). A failed read
// of the shots is warned and leaves them for the next pass. caller names the driver operation in
// the log lines ("postflight_none").
// Returns 0, or 1 when fewer images were archived than paired. The ground is warned when the
// numbers of shots and files differ or their times part (firstIntervalMismatch).
int pairAndTagFlight(CameraContext* cam, const char* caller, const char* dir, const char* ext, const char* cardRoot,
                     int fcPipe);

// The id of the first shot whose interval to the shot before differs from its paired file's
// interval by more than the file times' resolution allows (two seconds when every file time is
// even, as on FAT cards, else one) plus the camera's write delay; 0 when they agree all along or
// the files carry no usable times (all within that allowance, as when copied onto the card).
int64_t firstIntervalMismatch(const ImageList& images, const FileList& files);

// Before a new flight: flights whose shots are still in table image (a pass cut short, images
// that could not be tagged, a preflight without the card) are finished first, oldest first, with
// the files of dir that are neither archived nor known, which are exactly those flights' images.
// The shots still left are moved to table untagged under their own flight's number, with the file
// each was paired with and why it was not tagged, and the ground is warned. Returns 1 when table
// image is empty afterwards, 0 when the shots could not be read or moved (they stay in image; the
// ground is warned).
int finishEarlierFlight(CameraContext* cam, const char* caller, const char* dir, const char* ext, const char* cardRoot,
                        int fcPipe);

// The preflight of a card camera: finishes the earlier flights first (finishEarlierFlight), then,
// in one transaction, records the context's flight as the one whose shots follow and the card's
// files in unknownFiles. Returns the number of unknown files, or -1 (the ground warned, so that
// the crew can take the preflight again) when nothing was recorded: the earlier records stay as
// they were. dir null: the card was not reached; the earlier flights' shots and the file list
// stay, only where this flight's shots begin is recorded (its pictures are then told from theirs
// at the next pass that reaches the card), and the result is -1.
int takePreflight(CameraContext* cam, const char* caller, const char* dir, const char* ext, const char* cardRoot,
                  int fcPipe);
