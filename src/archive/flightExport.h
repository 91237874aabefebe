// The side files mapping software reads, written for every flight the daemon archives: a GeoJSON
// FeatureCollection (QGIS, web maps), a CSV table (photogrammetry packages) and an OpenDroneMap
// geo.txt, in flights/<flight number>/ of the working directory and copied to the camera card.
#pragma once

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

// The flight's number with the context's mission id and camera type (read under its lock).
ExportedFlight exportedFlight(CameraContext* cam, int flightNumber);

// The three files' texts, as written.
std::string shotsGeoJson(const ExportedFlight& flight, const std::vector<ExportedShot>& shots);
std::string shotsCsv(const ExportedFlight& flight, const std::vector<ExportedShot>& shots);
std::string odmGeoTxt(const std::vector<ExportedShot>& shots);

// Writes the three files into flights/<flight number>/, each to a temporary name first and
// renamed, so a power cut never leaves half a file; then, when cardRoot is not empty, copies the
// folder to <cardRoot>/vorn/flight-<flight number>/. Every failure is logged and changes nothing
// else. Returns true when the files in the working directory were written.
bool exportFlight(const ExportedFlight& flight, const std::vector<ExportedShot>& shots, const std::string& cardRoot);
