#include "archive/filePairing.h"

#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "archive/exifWriter.h"
#include "archive/flightExport.h"
#include "archive/geotagDb.h"
#include "core/clock.h"
#include "core/database.h"
#include "core/logging.h"
#include "core/pipes.h"
#include "core/shell.h"
#include "core/userMessage.h"
#include "mavlink/mavlink.h"

namespace {

// Sequence state of the progress messages (sent from the camera thread only).
mavlink_channel_t g_progressChannel{};

constexpr size_t argSize = 128;

// How late a camera may write a picture's file after its shot, beyond the file time's resolution.
constexpr int64_t cameraWriteJitterMs = 500;

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

// Runs one tool of the pass; failure names the tool and how it ended.
bool runTool(const std::string& command, const char* tool, std::string* failure) {
    std::string how;
    if (runShellOk(command, &how)) return true;
    *failure = std::string(tool) + " " + how;
    return false;
}

// Turns base.tiff into base.JPG and carries its EXIF block over through base.exv.
bool convertToJpeg(SplitPath& file, std::string* failure) {
    logPrintf("vorn-camera updatePairedImages  convert %s to jpg\n", file.base.c_str());
    file.ext = "JPG";
    std::string tiff = shellQuote(file.base + ".tiff");
    return runTool("convert " + tiff + " " + shellQuote(file.joined()), "convert", failure) &&
           runTool("exiv2 -e e ex " + tiff, "exiv2 -e", failure) &&
           runTool("exiv2 -i e in " + shellQuote(file.joined()), "exiv2 -i", failure);
}

// The exiv2 -M argument texts of a shot's tags.
std::vector<std::string> tagArguments(const GeoData& geo, int orientation) {
    char args[6][argSize];
    std::snprintf(args[0], argSize, "-M \"set Exif.Image.Orientation %d\"", orientation);
    formatLatitude(geo.lat, args[1]);
    formatLongitude(geo.lon, args[2]);
    formatAltitude(geo.alt, args[3]);
    formatHeading(geo.yaw, args[4]); // the track is the shot's yaw, not the heading
    formatDateTaken(static_cast<uint64_t>(geo.time), args[5]);
    return std::vector<std::string>(std::begin(args), std::end(args));
}

void sendProgress(int fcPipe, int archived, int pairs) {
    mavlink_message_t msg = progressMessage(archived, pairs);
    if (msgWrite(fcPipe, &msg))
        logPrintf("vorn-camera updatePairedImages done processing[%d of %d]\n", archived, pairs);
    else
        logPrintf("vorn-camera updatePairedImages failed to write processing[%d of %d] msg to outbound pipe\n",
                  archived, pairs);
}

// Writes the shot's image (converted first when asked) with its position; the node's path becomes
// the tagged file's. The picture is replaced only by a complete, checked tagged version of itself.
TagResult tagImage(ImageNode* node, int archived, int pairs, int convert, int orientation) {
    SplitPath file = splitAtExtension(node->path);
    std::string failure;
    TagResult result = TagResult::Failed;
    if (!convert || convertToJpeg(file, &failure)) {
        std::vector<std::string> args = tagArguments(node->geo, orientation);
        std::string text;
        for (const std::string& arg : args) text += " " + arg;
        logPrintf("vorn-camera %d of %d, %s%s\n", archived + 1, pairs, file.joined().c_str(), text.c_str());
        result = writeTagsAside(file.joined(), exifSettings(args), &failure);
    }
    std::remove((file.base + ".exv").c_str()); // the conversion's temporary EXIF block, if any
    std::snprintf(node->path, sizeof node->path, "%s", file.joined().c_str());
    if (result != TagResult::Tagged)
        logPrintf("vorn-camera updatePairedImages %s not tagged: %s\n", node->path, failure.c_str());
    return result;
}

// The archive rows of one tagged image: its oldfiles row, and the file recorded in its shot's row
// so that the shot is removed once the pass is committed.
struct ArchiveStatements {
    Stmt insert;
    Stmt record;
};

// 1 when the image was archived, 0 when it was skipped (gone, or its path archived already), -1
// when a write failed otherwise (a full disk): the pass cannot be committed. rc: the last result.
int archiveImage(ImageNode* node, ArchiveStatements& st, int flightNumber, int* rc) {
    struct stat info;
    if (stat(node->path, &info) != 0) return 0;
    node->size = static_cast<int32_t>(info.st_size);
    sqlite3_bind_int64(st.insert.get(), 1, node->size);
    sqlite3_bind_text(st.insert.get(), 2, node->path, -1, SQLITE_TRANSIENT);
    sqlite3_bind_int(st.insert.get(), 3, flightNumber);
    *rc = sqlite3_step(st.insert.get());
    sqlite3_reset(st.insert.get());
    if (*rc == SQLITE_DONE) {
        sqlite3_bind_text(st.record.get(), 1, node->path, -1, SQLITE_TRANSIENT);
        sqlite3_bind_int64(st.record.get(), 2, node->size);
        sqlite3_bind_int(st.record.get(), 3, node->id);
        *rc = sqlite3_step(st.record.get());
        sqlite3_reset(st.record.get());
        if (*rc == SQLITE_DONE) return 1;
    }
    logPrintf("vorn-camera updatePairedImages update() failed, rc=%d\n", *rc);
    return *rc == SQLITE_CONSTRAINT ? 0 : -1;
}

// Undoes the pass's archive rows; the shots stay for the next pass.
void rollBackPass(sqlite3* db, int rc) {
    sqlite3_exec(db, sql::rollbackTransaction, nullptr, nullptr, nullptr);
    logPrintf("vorn-camera updatePairedImages pass rolled back, rc=%d\n", rc);
    warnGround(GroundWarning::PassRolledBack, "tagging pass rolled back: %s", sqlite3_errstr(rc));
}

// What a tagging pass did besides archiving.
struct PassOutcome {
    int flightNumber = 0;
    int cardFull = 0; // images left untouched for want of room on the card
};

// Runs the archive rows of a pass (its flights row, one oldfiles row per image and the file of
// each archived shot) as one transaction: one disk sync for the pass instead of one per image,
// and a pass cut short (power lost) leaves no archived file whose shot is still waiting to be
// paired, so the next pass pairs the same files with the same shots again. Returns the number
// archived, or -1 when the rows were rolled back.
int archiveTaggedImages(CameraContext* cam, ImageNode* images, int pairs, int fcPipe, int convert, int orientation,
                        PassOutcome* outcome) {
    sqlite3* db = cam->db;
    int rc = sqlite3_exec(db, sql::beginTransaction, nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) {
        logPrintf("vorn-camera updatePairedImages sqlite3_exec(%s) failed, rc=%d\n", sql::beginTransaction, rc);
        rollBackPass(db, rc);
        return -1;
    }
    outcome->flightNumber = nextFlightNumber(db);
    writeFlightRow(cam, outcome->flightNumber, sql::insertFlight);

    int archived = 0;
    ArchiveStatements st;
    st.insert = prepareStmt(db, sql::insertTaggedFile, &rc);
    if (st.insert) st.record = prepareStmt(db, sql::recordArchivedShot, &rc);
    if (!st.insert || !st.record) {
        logPrintf("vorn-camera updatePairedImages sqlite3_prepare_v2(%s) failed, rc=%d\n",
                  st.insert ? sql::recordArchivedShot : sql::insertTaggedFile, rc);
        images = nullptr; // nothing can be archived
    }
    for (ImageNode* node = images; node; node = node->next) {
        if (node->path[0] == '\0') continue;
        TagResult tagged = tagImage(node, archived, pairs, convert, orientation);
        if (tagged == TagResult::CardFull) ++outcome->cardFull;
        if (tagged != TagResult::Tagged) continue;
        int done = archiveImage(node, st, outcome->flightNumber, &rc);
        if (done < 0) {
            st = {};
            rollBackPass(db, rc);
            return -1;
        }
        if (done == 0) continue;
        ++archived;
        if (fcPipe != -1) sendProgress(fcPipe, archived, pairs);
    }
    st = {};
    rc = sqlite3_exec(db, sql::endTransaction, nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) {
        logPrintf("vorn-camera updatePairedImages sqlite3_exec(%s) failed, rc=%d\n", sql::endTransaction, rc);
        rollBackPass(db, rc);
        return -1;
    }
    return archived;
}

// Tells the ground when the shots and the new images do not match, which positional pairing
// would turn into images tagged with a neighbour's position.
void warnIfMismatched(const ImageNode* images, int shots, const FileNode* files, int newFiles) {
    if (shots != newFiles)
        warnGround(GroundWarning::CountMismatch, "%d shots, %d images: positions may be shifted", shots, newFiles);
    if (int shot = firstIntervalMismatch(images, files))
        warnGround(GroundWarning::IntervalMismatch, "shot %d: image times part from shot times", shot);
}

// The tagging pass behind updatePairedImages. Returns the number archived, or -1 when the pass
// was rolled back and nothing was archived.
int tagPass(CameraContext* cam, ImageNode* images, int pairs, int fcPipe, int convert, int orientation,
            PassOutcome* outcome) {
    int archived = archiveTaggedImages(cam, images, pairs, fcPipe, convert, orientation, outcome);
    if (archived < 0) return -1; // nothing archived: the shots stay for the next pass

    mavlink_message_t finalMsg = progressMessage(pairs, pairs);
    copyDatabase(cam->db, geodoneFile);
    // The commit made the pass: shots whose image is archived are left out by every later reader
    // of table image even when this removal fails.
    removeArchivedShots(cam->db);
    if (fcPipe != -1) {
        if (msgWrite(fcPipe, &finalMsg))
            logPrintf("vorn-camera updatePairedImages finished %d successfully\n", archived);
        else
            logPuts("vorn-camera updatePairedImages failed to write final processing msg to outbound pipe");
    }
    if (outcome->cardFull > 0)
        warnGround(GroundWarning::CardFull, "card full: %d of %d images tagged", archived, pairs);
    if (archived < pairs)
        warnGround(GroundWarning::PassIncomplete, "flight %d: %d of %d images tagged, %d kept for retry",
                   outcome->flightNumber, archived, pairs, pairs - archived);
    return archived;
}

// The flight's side files: every shot of the list with its image's file name, tagged when the
// pass archived it.
void exportShots(CameraContext* cam, const ImageNode* images, int flightNumber, const CardTarget& card) {
    std::vector<ExportedShot> shots;
    for (const ImageNode* node = images; node; node = node->next) {
        const char* slash = std::strrchr(node->path, '/');
        bool tagged = node->path[0] != '\0' && anOldFile(cam->db, node->path);
        shots.push_back({slash ? slash + 1 : node->path, true, node->geo, tagged});
    }
    exportFlight(exportedFlight(cam, flightNumber), shots, card);
}

// Pairs the shots with the new files of dir and tags them; 1 when fewer were archived than paired.
int tagShots(CameraContext* cam, const char* caller, ImageNode* images, const char* dir, const char* ext,
             const char* cardRoot, int fcPipe) {
    const CardTarget card = cardAt(cardRoot); // the card this pass tags
    removeTaggingLeftover(dir);
    logPrintf("vorn-camera %s get list of files from sdcard\n", caller);
    FileNode* files = getListFiles(cam->db, dir, ext);
    int shots = countImageList(images), newFiles = countFileList(files);
    logPrintf("vorn-camera %s %d images, %d files to process\n", caller, shots, newFiles);
    int result = 0;
    if (images && files) {
        warnIfMismatched(images, shots, files, newFiles);
        int pairs = pairUpItemsPath(images, files);
        logPrintf("vorn-camera %s %d items paired\n", caller, pairs);
        if (pairs > 0) {
            PassOutcome outcome;
            int processed = tagPass(cam, images, pairs, fcPipe, 0, 6, &outcome);
            if (processed >= 0) exportShots(cam, images, outcome.flightNumber, card);
            else processed = 0;
            logPrintf("vorn-camera %s %d images processed, %d expected\n", caller, processed, pairs);
            if (processed != pairs) result = 1;
        }
    }
    freeFileList(files);
    return result;
}

// Why a shot left after a pass has no tagged image.
const char* untaggedReason(const ImageNode* node, bool cardReached) {
    if (!cardReached) return "card not mounted";
    if (node->path[0] == '\0') return "no image on the card";
    return exists(node->path) ? "tagging failed" : "image gone from the card";
}

// Moves the shots of the list still in table image to table untagged and empties image, in one
// transaction. Returns the number moved, or -1 when nothing could be moved (image is kept).
int moveToUntagged(sqlite3* db, const ImageNode* images, int flightNumber, bool cardReached) {
    int rc = sqlite3_exec(db, sql::beginTransaction, nullptr, nullptr, nullptr);
    Stmt move = rc == SQLITE_OK ? prepareStmt(db, sql::moveShotToUntagged, &rc) : Stmt();
    int moved = 0;
    for (const ImageNode* node = images; move && node; node = node->next) {
        sqlite3_bind_int(move.get(), 1, flightNumber);
        if (node->path[0] != '\0') sqlite3_bind_text(move.get(), 2, node->path, -1, SQLITE_TRANSIENT);
        else sqlite3_bind_null(move.get(), 2);
        sqlite3_bind_text(move.get(), 3, untaggedReason(node, cardReached), -1, SQLITE_STATIC);
        sqlite3_bind_int64(move.get(), 4, current_timestamp());
        sqlite3_bind_int(move.get(), 5, node->id);
        rc = sqlite3_step(move.get());
        sqlite3_reset(move.get());
        if (rc != SQLITE_DONE) break;
        moved += sqlite3_changes(db);
    }
    move.reset();
    if (rc == SQLITE_DONE || rc == SQLITE_OK) rc = sqlite3_exec(db, sql::deleteImages, nullptr, nullptr, nullptr);
    if (rc == SQLITE_OK) rc = sqlite3_exec(db, sql::endTransaction, nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) {
        sqlite3_exec(db, sql::rollbackTransaction, nullptr, nullptr, nullptr);
        logPrintf("vorn-camera could not move shots to table untagged, rc=%d: they stay in table image\n", rc);
        return -1;
    }
    return moved;
}

// The shots waiting for their images. Shots archived by a pass whose removal failed or was cut
// short are removed now (and left out even if that fails again).
ImageNode* flightShots(sqlite3* db) {
    removeArchivedShots(db);
    return getListImages(db);
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
    PassOutcome outcome;
    int archived = tagPass(cam, images, pairs, fcPipe, convert, orientation, &outcome);
    return archived < 0 ? 0 : archived;
}

int firstIntervalMismatch(const ImageNode* images, const FileNode* files) {
    if (!images || !files) return 0;
    int32_t earliest = files->mtime, latest = files->mtime;
    bool evenSeconds = true; // FAT cards keep file times in steps of two seconds
    for (const FileNode* f = files; f; f = f->next) {
        earliest = std::min(earliest, f->mtime);
        latest = std::max(latest, f->mtime);
        evenSeconds = evenSeconds && f->mtime % 2 == 0;
    }
    const int64_t allowedMs = (evenSeconds ? 2000 : 1000) + cameraWriteJitterMs;
    // Files copied onto the card all carry about one time: they tell nothing about the shots.
    if (static_cast<int64_t>(latest - earliest) * 1000 <= allowedMs) return 0;
    const ImageNode* prevImage = images;
    const FileNode* prevFile = files;
    for (images = images->next, files = files->next; images && files;
         prevImage = images, prevFile = files, images = images->next, files = files->next) {
        int64_t shotMs = images->geo.time - prevImage->geo.time;
        int64_t fileMs = (static_cast<int64_t>(files->mtime) - prevFile->mtime) * 1000;
        if (std::llabs(shotMs - fileMs) > allowedMs) return images->id;
    }
    return 0;
}

int pairAndTagFlight(CameraContext* cam, const char* caller, const char* dir, const char* ext, const char* cardRoot,
                     int fcPipe) {
    logPrintf("vorn-camera %s get list of images from db\n", caller);
    ImageNode* images = flightShots(cam->db);
    int result = tagShots(cam, caller, images, dir, ext, cardRoot, fcPipe);
    freeImageList(images);
    return result;
}

int finishEarlierFlight(CameraContext* cam, const char* caller, const char* dir, const char* ext, const char* cardRoot,
                        int fcPipe) {
    ImageNode* images = flightShots(cam->db);
    if (!images) return 1;
    int shots = countImageList(images);
    logPrintf("vorn-camera %s %d shots left from an earlier flight\n", caller, shots);
    int flightNumber = nextFlightNumber(cam->db);
    if (dir) tagShots(cam, caller, images, dir, ext, cardRoot, fcPipe);
    int moved = moveToUntagged(cam->db, images, flightNumber, dir != nullptr);
    freeImageList(images);
    if (moved > 0) {
        logPrintf("vorn-camera %s %d shots moved to table untagged\n", caller, moved);
        warnGround(GroundWarning::ShotsUntagged, "%d shots not tagged: kept in table untagged", moved);
    }
    return moved >= 0 ? 1 : 0;
}
