// The side files mapping software reads, written for every flight the daemon archives: a GeoJSON
// FeatureCollection (QGIS, web maps), a CSV table (photogrammetry packages) and an OpenDroneMap
// geo.txt, in flights/<flight number>/ of the working directory and copied to the camera card.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "core/AppContext.h"

// One shot of the flight, or one archived image when the camera recorded no shots (Sentera).
struct ExportedShot {
    std::string image; // file name without its directory; empty when no image was paired
    bool hasPosition;  // false: the geometry is null and the position columns empty
    GeoData geo;       // time in ms since the epoch, positions and angles as stored
    bool tagged;       // its image was tagged and archived in this pass
};

struct ExportedFlight {
    int flightNumber;
    std::string missionID;
    int camType;
};

// The three files of a flight, in this order: GeoJSON, CSV, geo.txt.
inline constexpr const char* flightFileNames[] = {"shots.geojson", "shots.csv", "geo.txt"};

// The folder of a flight's files in the working directory: flights/<flight number>.
std::string flightFolder(int flightNumber);

// The card a flight's files are copied to: its root directory and the file system mounted there.
struct CardTarget {
    std::string root; // empty: no copy on a card
    dev_t device;
};

// The card at root as it is now (device 0 when root cannot be reached).
CardTarget cardAt(const std::string& root);

// The three files' texts, as written.
std::string shotsGeoJson(const ExportedFlight& flight, const std::vector<ExportedShot>& shots);
std::string shotsCsv(const ExportedFlight& flight, const std::vector<ExportedShot>& shots);
std::string odmGeoTxt(const std::vector<ExportedShot>& shots);

// The shots of the flight's files written earlier (flights/<flight number>/shots.csv), none when
// there are none; a row that cannot be read is logged and left out.
std::vector<ExportedShot> exportedShots(int flightNumber);

// Writes the three files into flights/<flight number>/, each to a temporary name first and
// renamed, so a power cut never leaves half a file; then copies the folder to
// <card root>/vorn/flight-<flight number>/, only while the same card is still mounted there (a
// card pulled meanwhile would leave the copy on the board's own disk, under the mount point).
// Every failure is logged and changes nothing else. Returns true when the files in the working
// directory were written.
bool exportFlight(const ExportedFlight& flight, const std::vector<ExportedShot>& shots, const CardTarget& card);
