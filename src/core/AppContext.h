// The one shared context record and the records that cross the pipes between threads.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

struct sqlite3;

// Latest position and attitude of the aircraft.
struct GeoData {
    int64_t time;     // ms since the epoch (GLOBAL_POSITION_INT) or CAMERA_FEEDBACK time_usec
    int32_t lat;      // degrees * 1e7
    int32_t lon;      // degrees * 1e7
    int32_t pitch;    // hundredths of a degree
    int32_t roll;     // hundredths of a degree
    int32_t yaw;      // hundredths of a degree
    int32_t alt;      // millimetres above mean sea level
    uint16_t heading; // hundredths of a degree
};
static_assert(offsetof(GeoData, time) == 0);
static_assert(offsetof(GeoData, lat) == 8);
static_assert(offsetof(GeoData, lon) == 12);
static_assert(offsetof(GeoData, pitch) == 16);
static_assert(offsetof(GeoData, roll) == 20);
static_assert(offsetof(GeoData, yaw) == 24);
static_assert(offsetof(GeoData, alt) == 28);
static_assert(offsetof(GeoData, heading) == 32);

// GPS record written whole to the Sony camera API process: 45 little-endian int32 words.
struct SonyGeoRecord {
    int32_t header1;
    int32_t header2;
    int32_t latRef;       // 1 south
    int32_t latDeg;
    int32_t latMin;
    int32_t latSec;       // seconds * 100000
    int32_t latSecDiv;
    int32_t lonRef;       // 1 east (zero or positive)
    int32_t lonDeg;
    int32_t lonMin;
    int32_t lonSec;
    int32_t lonSecDiv;
    int32_t altPresent;
    int32_t altRef;       // 1 below sea level
    int32_t alt;          // millimetres, signed
    int32_t altDiv;
    int32_t reserved[23];
    int32_t year;
    int32_t month;
    int32_t day;
    int32_t hour;
    int32_t minute;
    int32_t msecOfMinute; // second of the minute * 1000 + milliseconds
};
static_assert(sizeof(SonyGeoRecord) == 180);
static_assert(offsetof(SonyGeoRecord, lonRef) == 28);
static_assert(offsetof(SonyGeoRecord, altPresent) == 48);
static_assert(offsetof(SonyGeoRecord, altDiv) == 60);
static_assert(offsetof(SonyGeoRecord, reserved) == 64);
static_assert(offsetof(SonyGeoRecord, year) == 156);
static_assert(offsetof(SonyGeoRecord, msecOfMinute) == 176);

// Camera types.
enum : int32_t {
    CAMTYPE_NONE = 1,
    CAMTYPE_SURVEY3 = 2,
    CAMTYPE_KERNEL = 3,
    CAMTYPE_SONY = 4,
    CAMTYPE_SENTERA = 5,
};

// Camera command codes.
enum : uint8_t {
    CAM_TRIGGER = 1,
    CAM_UNMOUNT = 2,
    CAM_MOUNT = 3,
    CAM_PREFLIGHT = 4,
    CAM_POSTFLIGHT = 5,
    CAM_ZOOM_IN = 11,
    CAM_ZOOM_OUT = 12,
    CAM_ZOOM_STOP = 13,
    CAM_MODE_STILL = 21,
    CAM_MODE_MOVIE = 22,
    CAM_TAKEOFF = 41,
    CAM_LANDING = 42,
};

// One frame on cameraPipe.
struct CameraCommand {
    uint8_t reserved0[8];
    int32_t camType;
    uint8_t cmd;
    uint8_t padding[3];
    uint8_t reserved1[8];
};
static_assert(sizeof(CameraCommand) == 24);
static_assert(offsetof(CameraCommand, camType) == 8);
static_assert(offsetof(CameraCommand, cmd) == 12);

// WiFi modes.
enum : uint8_t {
    WIFI_ACCESS_POINT = 1,
    WIFI_CLIENT = 2,
    WIFI_OFF = 3,
};

// One frame on wifiPipe; texts are NUL-terminated, the record zero-filled before use.
struct WifiRequest {
    uint8_t mode;
    char ssid[33];
    char password[33];
};
static_assert(sizeof(WifiRequest) == 67);
static_assert(offsetof(WifiRequest, ssid) == 1);
static_assert(offsetof(WifiRequest, password) == 34);

// MAVLink identity of every message the daemon builds.
constexpr uint8_t OWN_SYSID = 100;
constexpr uint8_t OWN_COMPID = 100;

// DATA96 types of the companion protocol with the ground station.
enum : uint8_t {
    COMPANION_COMPUTER_WIFI = 1,
    COMPANION_COMPUTER_USB = 2,
    COMPANION_COMPUTER_PREFLIGHT = 3,
    PROCESSING_PROGRESS = 4,
    SOFTWARE_VERSION_INFO = 5,
    CAMERA_MODE = 6,
    USER_MESSAGE = 8,
};

// The part of the context handed to every camera operation.
struct CameraContext {
    int32_t cameraPipe[2] = {-1, -1};
    std::mutex lock;               // guards missionID, flightID, flightTime, camType, geo
    sqlite3* db = nullptr;
    char missionID[32] = {};       // not NUL-terminated when all 32 bytes are used
    int16_t flightID = 0;
    int64_t flightTime = 0;
    int32_t camType = 0;
    GeoData geo = {};
    SonyGeoRecord sonyGeo = {};
    int32_t triggerChannel = 7;
    int32_t relayNumber = 0;
};

struct AppContext {
    std::atomic<int32_t> quit{0};
    int32_t useModem = 0;
    std::atomic<int32_t> fcSysId{1};
    std::atomic<int32_t> fcCompId{1};
    const char* fcPort = "/dev/ttymxc2";
    int32_t fcBaud = 1500000;
    const char* modemPort = "/dev/ttyS0";
    int32_t modemBaud = 57600;
    const char* webAddress = "0.0.0.0:8080"; // where the field page listens (ADDR:PORT), or "off"
    std::string databaseFile = "geodata.db"; // the database in use (a damaged one is set aside at start)
    int32_t msgPipe[2] = {-1, -1};
    int32_t fcPipe[2] = {-1, -1};
    int32_t logPipe[2] = {-1, -1};
    CameraContext camera;
    int32_t wifiMode = 1;          // 1 NetworkManager, 2 configuration files
    int32_t wifiPipe[2] = {-1, -1};
    int32_t stopPipe[2] = {-1, -1}; // readable once the daemon is stopping (core/stop.h)
};

// The mission id as text: at most 32 bytes, stopping at the first zero byte.
inline size_t missionIdLength(const char (&missionID)[32]) {
    size_t n = 0;
    while (n < sizeof missionID && missionID[n] != '\0') ++n;
    return n;
}
