// Position feed of the Sony camera API process: one SonyGeoRecord written whole to its GPS FIFO.
// Runs on the message handler thread only.
#pragma once

#include <cstdint>

#include "core/AppContext.h"

// Header words 1 and 1, everything else zero.
void initialize_SonyGeo(SonyGeoRecord* rec);

// Latitude/longitude in degrees * 1e7 as degrees, minutes and seconds * 100000.
void SonyGeo_Put_Lat(SonyGeoRecord* rec, int32_t lat);
void SonyGeo_Put_Lon(SonyGeoRecord* rec, int32_t lon);

// Altitude in millimetres above mean sea level.
void SonyGeo_Put_Alt(SonyGeoRecord* rec, int32_t alt);

// Unix time in milliseconds as local date and time.
void SonyGeo_Put_Time(SonyGeoRecord* rec, int64_t unixMs);

// Writes the record to the GPS FIFO without ever blocking: 0 when written, 1 otherwise
// (no reader, full FIFO, FIFO not creatable).
int send_sony_gps_message(const SonyGeoRecord* rec);

// Puts the position and time of `geo` into the record and sends it; the result of the send.
int sendSonyFix(SonyGeoRecord* rec, const GeoData& geo);
