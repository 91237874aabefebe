#include "link/sonyGps.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/logging.h"
#include "core/sandbox.h"

namespace {

const char gps_fifo_filename[] = "/var/run/vornSonyGPSMsg.fifo";

struct Dms {
    int32_t deg, min, sec;
};

// Degrees * 1e7 to whole degrees, whole minutes and seconds * 100000, all truncated.
Dms toDms(int32_t value) {
    int64_t a = std::llabs(static_cast<int64_t>(value)); // INT32_MIN has no int32 magnitude
    int32_t deg = static_cast<int32_t>(a / 10000000);
    double f = static_cast<double>(a) / 1e7 - deg;
    auto min = static_cast<int32_t>(f * 60);
    auto sec = static_cast<int32_t>((f * 60 - min) * 60 * 100000);
    return {deg, min, sec};
}

} // namespace

void initialize_SonyGeo(SonyGeoRecord* rec) {
    std::memset(rec, 0, sizeof *rec);
    rec->header1 = 1;
    rec->header2 = 1;
}

void SonyGeo_Put_Lat(SonyGeoRecord* rec, int32_t lat) {
    Dms d = toDms(lat);
    rec->latRef = lat < 0 ? 1 : 0;
    rec->latDeg = d.deg;
    rec->latMin = d.min;
    rec->latSec = d.sec;
    rec->latSecDiv = 100000;
}

void SonyGeo_Put_Lon(SonyGeoRecord* rec, int32_t lon) {
    Dms d = toDms(lon);
    rec->lonRef = lon < 0 ? 0 : 1;
    rec->lonDeg = d.deg;
    rec->lonMin = d.min;
    rec->lonSec = d.sec;
    rec->lonSecDiv = 100000;
}

void SonyGeo_Put_Alt(SonyGeoRecord* rec, int32_t alt) {
    rec->altPresent = 1;
    rec->altRef = alt < 0 ? 1 : 0;
    rec->alt = alt;
    rec->altDiv = 1000;
}

void SonyGeo_Put_Time(SonyGeoRecord* rec, int64_t unixMs) {
    time_t seconds = static_cast<time_t>(unixMs / 1000);
    auto rest = static_cast<int32_t>(unixMs % 1000);
    tm local{};
    localtime_r(&seconds, &local);
    rec->year = local.tm_year + 1900;
    rec->month = local.tm_mon + 1;
    rec->day = local.tm_mday;
    rec->hour = local.tm_hour;
    rec->minute = local.tm_min;
    rec->msecOfMinute = local.tm_sec * 1000 + rest;
}

int send_sony_gps_message(const SonyGeoRecord* rec) {
    // format_geoDataArray: the record is already laid out as the reader expects it.
    uint8_t out[sizeof *rec];
    std::memcpy(out, rec, sizeof out);

    std::string path = sandboxPath(gps_fifo_filename);
    int rc = mkfifo(path.c_str(), 0700);
    if (rc != 0 && errno != EEXIST) {
        int err = errno;
        logPrintf("Error: No FIFO created and no existing FIFO: rc = %d\n", rc);
        logPrintf("send_sony_gps_message error with mkfifo: %s\n", strerror(err));
        return 1;
    }
    // Without a reader the open fails at once; the next position brings a new record.
    int fd = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        logPrintf("send_sony_gps_message error opening gps_fifo: %s\n", strerror(errno));
        return 1;
    }
    ssize_t n = write(fd, out, sizeof out);
    close(fd);
    return n == static_cast<ssize_t>(sizeof out) ? 0 : 1;
}

int sendSonyFix(SonyGeoRecord* rec, const GeoData& geo) {
    SonyGeo_Put_Lat(rec, geo.lat);
    SonyGeo_Put_Lon(rec, geo.lon);
    SonyGeo_Put_Alt(rec, geo.alt);
    SonyGeo_Put_Time(rec, geo.time);
    return send_sony_gps_message(rec);
}
