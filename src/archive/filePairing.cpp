#include "archive/filePairing.h"

#include <sys/stat.h>
#include <time.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "archive/geotagDb.h"
#include "core/logging.h"
#include "core/pipes.h"
#include "core/shell.h"
#include "mavlink/mavlink.h"

namespace {

// Sequence state of the progress messages (sent from the camera thread only).
mavlink_channel_t g_progressChannel{};

constexpr size_t argSize = 128;

// A PROCESSING_PROGRESS report: images archived so far and the number of pairs.
mavlink_message_t progressMessage(int archived, int pairs) {
    uint8_t data[96] = {};
    data[0] = static_cast<uint8_t>(archived & 0xFF);
    data[1] = static_cast<uint8_t>((archived >> 8) & 0xFF);
    data[2] = static_cast<uint8_t>(pairs & 0xFF);
    data[3] = static_cast<uint8_t>((pairs >> 8) & 0xFF);
    data[4] = 0xFF;
    data[5] = 0xBE;
    mavlink_message_t msg{};
    mavlink_msg_data96_pack_chan(OWN_SYSID, OWN_COMPID, &g_progressChannel, &msg, PROCESSING_PROGRESS, 6, data);
    return msg;
}

// Degrees, minutes and seconds * 10000 of a coordinate in degrees * 1e7, with its reference.
void formatCoordinate(int32_t value, char* out, const char* tag, char positive, char negative) {
    int64_t v = value;
    char ref = positive;
    if (v < 0) {
        ref = negative;
        v = -v;
    }
    int64_t deg = v / 10000000;
    int64_t r = (v % 10000000) * 60;
    int64_t min = r / 10000000;
    int64_t sec = ((r % 10000000) * 60) / 1000;
    std::snprintf(out, argSize, "-M \"set Exif.GPSInfo.%s %lld/1 %lld/1 %lld/10000\" -M\"set Exif.GPSInfo.%sRef %c\"",
                  tag, static_cast<long long>(deg), static_cast<long long>(min), static_cast<long long>(sec), tag, ref);
}

// The image's path split into base name and extension at the last dot of its file name. A name
// without a dot keeps its whole path as base and has no extension, so it is tagged as it is.
struct SplitPath {
    std::string base;
    std::string ext;
    std::string joined() const { return ext.empty() ? base : base + "." + ext; }
};

SplitPath splitAtExtension(const char* path) {
    const char* slash = std::strrchr(path, '/');
    const char* dot = std::strrchr(slash ? slash : path, '.');
    if (!dot) return {path, ""};
    return {std::string(path, dot), dot + 1};
}

// Turns base.tiff into base.JPG and carries its EXIF block over through base.exv.
void convertToJpeg(SplitPath& file) {
    logPrintf("vorn-camera updatePairedImages  convert %s to jpg\n", file.base.c_str());
    file.ext = "JPG";
    std::string tiff = shellQuote(file.base + ".tiff");
    runShell("convert " + tiff + " " + shellQuote(file.joined()));
    runShell("exiv2 -e e ex " + tiff);
    runShell("exiv2 -i e in " + shellQuote(file.joined()));
}

std::string tagCommand(const GeoData& geo, int orientation, const SplitPath& file) {
    char args[6][argSize];
    std::snprintf(args[0], argSize, "-M \"set Exif.Image.Orientation %d\"", orientation);
    formatLatitude(geo.lat, args[1]);
    formatLongitude(geo.lon, args[2]);
    formatAltitude(geo.alt, args[3]);
    formatHeading(geo.yaw, args[4]); // the track is the shot's yaw, not the heading
    formatDateTaken(static_cast<uint64_t>(geo.time), args[5]);
    std::string command = "exiv2";
    for (const char* arg : args) command += std::string(" ") + arg;
    return command + " " + shellQuote(file.joined());
}

void sendProgress(int fcPipe, int archived, int pairs) {
    mavlink_message_t msg = progressMessage(archived, pairs);
    if (msgWrite(fcPipe, &msg))
        logPrintf("vorn-camera updatePairedImages done processing[%d of %d]\n", archived, pairs);
    else
        logPrintf("vorn-camera updatePairedImages failed to write processing[%d of %d] msg to outbound pipe\n",
                  archived, pairs);
}

// Tags one paired image and archives it; returns 1 when it was archived.
int tagAndArchive(ImageNode* node, sqlite3_stmt* insert, int flightNumber, int archived, int pairs, int convert,
                  int orientation) {
    SplitPath file = splitAtExtension(node->path);
    if (convert) convertToJpeg(file);
    std::string command = tagCommand(node->geo, orientation, file);
    logPrintf("vorn-camera %d of %d, %s\n", archived + 1, pairs, command.c_str());
    runShell(command);
    std::remove((file.base + ".exv").c_str()); // the conversion's temporary EXIF block, if any
    std::snprintf(node->path, sizeof node->path, "%s", file.joined().c_str());

    struct stat st;
    if (stat(node->path, &st) != 0) return 0;
    node->size = static_cast<int32_t>(st.st_size);
    sqlite3_bind_int64(insert, 1, node->size);
    sqlite3_bind_text(insert, 2, node->path, -1, SQLITE_TRANSIENT);
    sqlite3_bind_int(insert, 3, flightNumber);
    int rc = sqlite3_step(insert);
    sqlite3_reset(insert);
    if (rc != SQLITE_DONE) {
        logPrintf("vorn-camera updatePairedImages update() failed, rc=%d\n", rc);
        return 0;
    }
    return 1;
}

// Runs the archive rows of a pass (its flights row and one oldfiles row per image) as one
// transaction: one disk sync for the pass instead of one per image, and a pass cut short (power
// lost) leaves no archived file whose shot is still waiting to be paired, so the next pass pairs
// the same files with the same shots again.
int archiveTaggedImages(CameraContext* cam, ImageNode* images, int pairs, int fcPipe, int convert, int orientation) {
    sqlite3* db = cam->db;
    int rc = sqlite3_exec(db, sql::beginTransaction, nullptr, nullptr, nullptr);
    bool inTransaction = rc == SQLITE_OK;
    if (!inTransaction) logPrintf("vorn-camera updatePairedImages sqlite3_exec(%s) failed, rc=%d\n", sql::beginTransaction, rc);
    int flightNumber = nextFlightNumber(db);
    writeFlightRow(cam, flightNumber, sql::insertFlight);

    int archived = 0;
    Stmt insert = prepareStmt(db, sql::insertTaggedFile, &rc);
    if (!insert) {
        logPrintf("vorn-camera updatePairedImages sqlite3_prepare_v2(%s) failed, rc=%d\n", sql::insertTaggedFile, rc);
    } else {
        for (ImageNode* node = images; node; node = node->next) {
            if (node->path[0] == '\0') continue;
            if (!tagAndArchive(node, insert.get(), flightNumber, archived, pairs, convert, orientation)) continue;
            ++archived;
            if (fcPipe != -1) sendProgress(fcPipe, archived, pairs);
        }
    }
    insert.reset();
    if (!inTransaction) return archived; // each row was committed on its own
    rc = sqlite3_exec(db, sql::endTransaction, nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) {
        logPrintf("vorn-camera updatePairedImages sqlite3_exec(%s) failed, rc=%d\n", sql::endTransaction, rc);
        sqlite3_exec(db, sql::rollbackTransaction, nullptr, nullptr, nullptr);
        return -1;
    }
    return archived;
}

} // namespace

int pairUpItemsPath(ImageNode* images, FileNode* files) {
    if (!images || !files) return 0;
    logPuts("vorn-camera pairUpItemsPath");
    uint32_t lastImageSeconds = static_cast<uint32_t>(static_cast<uint64_t>(images->geo.time) / 1000);
    int32_t lastMtime = files->mtime;
    int pairs = 0;
    for (; images && files; images = images->next, files = files->next) {
        uint32_t imageSeconds = static_cast<uint32_t>(static_cast<uint64_t>(images->geo.time) / 1000);
        int32_t imageDelta = static_cast<int32_t>(imageSeconds - lastImageSeconds);
        int32_t fileDelta = static_cast<int32_t>(static_cast<uint32_t>(files->mtime) - static_cast<uint32_t>(lastMtime));
        images->size = files->size;
        std::memcpy(images->path, files->path, sizeof images->path);
        char shortName[4];
        logPrintf("vorn-camera pairUpItemsPath %2d = %s    (%ld,%ld)\n", images->id, getShortName(shortName, files->path),
                  static_cast<long>(imageDelta), static_cast<long>(fileDelta));
        lastImageSeconds = imageSeconds;
        lastMtime = files->mtime;
        ++pairs;
    }
    logPrintf("vorn-camera pairUpItemsPath paired %d items\n", pairs);
    return pairs;
}

char* getShortName(char* out, const char* path) {
    out[0] = '\0';
    const char* dot = std::strrchr(path, '.');
    if (!dot) return out;
    const char* from = dot - path >= 3 ? dot - 3 : path;
    size_t n = 0;
    while (from + n < dot && from[n] != '.') ++n;
    std::memcpy(out, from, n);
    out[n] = '\0';
    return out;
}

void formatLatitude(int32_t lat, char* out) {
    formatCoordinate(lat, out, "GPSLatitude", 'N', 'S');
}

void formatLongitude(int32_t lon, char* out) {
    formatCoordinate(lon, out, "GPSLongitude", 'E', 'W');
}

void formatAltitude(int32_t alt, char* out) {
    int64_t v = alt;
    int ref = 0;
    if (v < 0) {
        ref = 1;
        v = -v;
    }
    std::snprintf(out, argSize, "-M \"set Exif.GPSInfo.GPSAltitude %lld/1000\" -M\"set Exif.GPSInfo.GPSAltitudeRef %d\"",
                  static_cast<long long>(v), ref);
}

void formatHeading(int32_t track, char* out) {
    // exiv2 stores GPSTrack unsigned: a negative numerator would wrap to a huge angle.
    int64_t normalised = ((static_cast<int64_t>(track) % 36000) + 36000) % 36000;
    std::snprintf(out, argSize, "-M \"set Exif.GPSInfo.GPSTrack %lld/100\"", static_cast<long long>(normalised));
}

void formatDateTaken(uint64_t time, char* out) {
    time_t seconds = static_cast<time_t>(time / 1000);
    struct tm local {};
    char text[128] = "";
    if (localtime_r(&seconds, &local)) strftime(text, sizeof text, "%Y:%m:%d %H:%M:%S", &local);
    std::snprintf(out, argSize, "-M \"set Exif.Photo.DateTimeOriginal %s\"", text);
}

int updatePairedImages(CameraContext* cam, ImageNode* images, int pairs, int fcPipe, int convert, int orientation) {
    int archived = archiveTaggedImages(cam, images, pairs, fcPipe, convert, orientation);
    if (archived < 0) return 0; // nothing archived: the shots stay for the next pass

    mavlink_message_t finalMsg = progressMessage(pairs, pairs);
    runShell(copyToGeodoneCommand);
    if (!emptyShots(cam->db)) return 0;
    if (fcPipe != -1) {
        if (msgWrite(fcPipe, &finalMsg))
            logPrintf("vorn-camera updatePairedImages finished %d successfully\n", archived);
        else
            logPuts("vorn-camera updatePairedImages failed to write final processing msg to outbound pipe");
    }
    return archived;
}

int pairAndTagFlight(CameraContext* cam, const char* caller, const char* dir, const char* ext, int fcPipe) {
    logPrintf("vorn-camera %s get list of images from db\n", caller);
    ImageNode* images = getListImages(cam->db);
    logPrintf("vorn-camera %s get list of files from sdcard\n", caller);
    FileNode* files = getListFiles(cam->db, dir, ext);
    logPrintf("vorn-camera %s %d images, %d files to process\n", caller, countImageList(images), countFileList(files));
    int result = 0;
    if (images && files) {
        int pairs = pairUpItemsPath(images, files);
        logPrintf("vorn-camera %s %d items paired\n", caller, pairs);
        if (pairs > 0) {
            int processed = updatePairedImages(cam, images, pairs, fcPipe, 0, 6);
            logPrintf("vorn-camera %s %d images processed, %d expected\n", caller, processed, pairs);
            if (processed != pairs) result = 1;
        }
    }
    freeImageList(images);
    freeFileList(files);
    return result;
}
