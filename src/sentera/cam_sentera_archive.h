// Archiving of a Sentera flight: the paths and sizes of the recording session's images on the
// camera's card share go into oldfiles under a new flight number, with the flight's row.
#pragma once

#include <string>
#include <vector>

#include "core/AppContext.h"

// Copies db and the flight fields (missionID, camType, flightTime) of cam under its lock.
void copySenteraFlight(CameraContext* cam, CameraContext* flight);

// The sensor folders ("/RGB/", ...) named by the camera's config.yml, in file order; empty when
// there is no readable configuration file or it names no sensor.
std::vector<std::string> findSensors();

// Mounts the share and archives the session of cam's mission. Returns the number of image paths
// stored (a path archived already is not stored again), or -1 when the share, the sensors or the
// images cannot be found, or the archive rows cannot be written (then none is: logged and warned).
int storeSenteraImagesSamba(CameraContext* cam);
