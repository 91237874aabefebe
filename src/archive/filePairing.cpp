#include "archive/filePairing.h"

#include <strings.h>
#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <numeric>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "archive/exifWriter.h"
#include "archive/flightExport.h"
#include "archive/geotagDb.h"
#include "archive/pictureTimes.h"
#include "archive/timePairing.h"
#include "core/clock.h"
#include "core/database.h"
#include "core/liveStatus.h"
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

// An angle in hundredths of a degree as 0 to 35999: exiv2 stores GPSTrack and GPSImgDirection
// unsigned, so a negative numerator would wrap to a huge angle.
long long wrappedAngle(int32_t hundredths) {
    return ((static_cast<long long>(hundredths) % 36000) + 36000) % 36000;
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
    std::vector<std::string> all(std::begin(args), std::end(args));
    for (std::string& arg : surveyTagArguments(geo)) all.push_back(std::move(arg));
    return all;
}

void sendProgress(int fcPipe, int archived, int pairs) {
    mavlink_message_t msg = progressMessage(archived, pairs);
    if (msgWrite(fcPipe, &msg))
        logPrintf("vorn-camera updatePairedImages done processing[%d of %d]\n", archived, pairs);
    else
        logPrintf("vorn-camera updatePairedImages failed to write processing[%d of %d] msg to outbound pipe\n",
                  archived, pairs);
}

// Writes the shot's image (converted first when asked) with its position; the shot's path becomes
// the tagged file's. The picture is replaced only by a complete, checked tagged version of itself.
TagResult tagImage(ImageRecord& shot, int archived, int pairs, int convert, int orientation) {
    SplitPath file = splitAtExtension(shot.path.c_str());
    std::string failure;
    TagResult result = TagResult::Failed;
    if (!convert || convertToJpeg(file, &failure)) {
        std::vector<std::string> args = tagArguments(shot.geo, orientation);
        std::string text;
        for (const std::string& arg : args) text += " " + arg;
        logPrintf("vorn-camera %d of %d, %s%s\n", archived + 1, pairs, file.joined().c_str(), text.c_str());
        result = writeTagsAside(file.joined(), exifSettings(args), &failure);
    }
    std::remove((file.base + ".exv").c_str()); // the conversion's temporary EXIF block, if any
    shot.path = file.joined();
    if (result != TagResult::Tagged)
        logPrintf("vorn-camera updatePairedImages %s not tagged: %s\n", shot.path.c_str(), failure.c_str());
    return result;
}

// The rows a pass writes for a shot: the file it is paired with; for a tagged image its oldfiles
// row and the tagged file in its shot's row, so that the shot is removed once the pass is
// committed.
struct ArchiveStatements {
    Stmt pair;
    Stmt insert;
    Stmt record;
};

// Records the file the shot is paired with; false when that cannot be written.
bool recordPairing(const ImageRecord& shot, ArchiveStatements& st, WriteTransaction& tx) {
    sqlite3_bind_int64(st.pair.get(), 1, shot.id);
    sqlite3_bind_int64(st.pair.get(), 2, shot.geo.time);
    sqlite3_bind_text(st.pair.get(), 3, shot.path.data(), static_cast<int>(shot.path.size()), SQLITE_TRANSIENT);
    return tx.step(st.pair.get());
}

// 1 when the image was archived, 0 when it was skipped (gone, or its path archived already), -1
// when a write failed otherwise (a full disk): the pass cannot be committed.
int archiveImage(ImageRecord& shot, ArchiveStatements& st, WriteTransaction& tx, int flightNumber) {
    struct stat info;
    if (stat(shot.path.c_str(), &info) != 0) return 0;
    shot.size = static_cast<int64_t>(info.st_size);
    const int pathLength = static_cast<int>(shot.path.size());
    sqlite3_bind_int64(st.insert.get(), 1, shot.size);
    sqlite3_bind_text(st.insert.get(), 2, shot.path.data(), pathLength, SQLITE_TRANSIENT);
    sqlite3_bind_int(st.insert.get(), 3, flightNumber);
    int added = tx.insert(st.insert.get(), "update()");
    if (added <= 0) return added;
    sqlite3_bind_text(st.record.get(), 1, shot.path.data(), pathLength, SQLITE_TRANSIENT);
    sqlite3_bind_int64(st.record.get(), 2, shot.size);
    sqlite3_bind_int64(st.record.get(), 3, shot.id);
    return tx.step(st.record.get()) ? 1 : -1;
}

// The pass's archive rows are undone as its transaction ends; the shots stay for the next pass.
int rollBackPass(const WriteTransaction& tx) {
    warnGround(GroundWarning::PassRolledBack, "tagging pass rolled back: %s", tx.why());
    return -1;
}

// What a tagging pass did besides archiving.
struct PassOutcome {
    int flightNumber = 0;
    int cardFull = 0;  // images left untouched for want of room on the card
    int processed = 0; // pairs tried, tagged or not
};

// Runs the archive rows of a pass (its flights row, the flight's own record, the file each shot
// is paired with, one oldfiles row per image) as one transaction: one disk sync for the pass
// instead of one per image, and a pass cut short (power lost) leaves no archived file whose shot
// is still waiting to be paired, so the next pass pairs the same files with the same shots again.
// Once committed, a shot keeps the file it was paired with. The flight keeps the number of its
// first committed pass. Returns the number archived, or -1 when the rows were rolled back.
int archiveTaggedImages(CameraContext* cam, FlightIdentity& flight, ImageList& images, int pairs, int fcPipe,
                        int convert, int orientation, PassOutcome* outcome) {
    WriteTransaction tx(cam->db, "updatePairedImages");
    std::optional<int> flightNumber = tx.begun() ? nextFlightNumber(cam->db) : std::nullopt;
    if (!flightNumber) {
        tx.fail(SQLITE_ERROR);
        return rollBackPass(tx);
    }
    FlightIdentity numbered = flight;
    if (numbered.flightNumber == 0) numbered.flightNumber = *flightNumber;
    if (numbered.firstShot == 0 && !images.empty()) numbered.firstShot = images.front().id;
    ArchiveStatements st{tx.prepare(sql::recordPairing), tx.prepare(sql::insertTaggedFile),
                         tx.prepare(sql::recordArchivedShot)};
    if (!writeFlightRow(tx, numbered.flightNumber, flight, sql::insertFlight) || !recordFlight(tx, numbered) ||
        !st.pair || !st.insert || !st.record)
        return rollBackPass(tx);
    outcome->flightNumber = numbered.flightNumber;
    // Every pair first: a pass that ends early (a stop) leaves the rest paired as it found them.
    for (const ImageRecord& shot : images)
        if (!shot.path.empty() && !recordPairing(shot, st, tx)) return rollBackPass(tx);

    int archived = 0;
    setPassProgress(0, 0, pairs, true);
    for (ImageRecord& shot : images) {
        if (stopRequested()) { // the rest stays for the next pass, as after a power cut
            logPrintf("vorn-camera updatePairedImages stopping: %d of %d images archived, the rest kept\n", archived,
                      pairs);
            break;
        }
        if (shot.path.empty()) continue;
        TagResult tagged = tagImage(shot, archived, pairs, convert, orientation);
        if (tagged == TagResult::CardFull) ++outcome->cardFull;
        int done = tagged == TagResult::Tagged ? archiveImage(shot, st, tx, numbered.flightNumber) : 0;
        if (done < 0) return rollBackPass(tx);
        if (done > 0) {
            ++archived;
            if (fcPipe != -1) sendProgress(fcPipe, archived, pairs);
        }
        setPassProgress(++outcome->processed, archived, pairs, true);
    }
    st = {};
    if (!tx.commit()) return rollBackPass(tx);
    flight = numbered;
    return archived;
}

// After a committed pass: the shots whose image is archived leave table image with their pairings,
// and when no shot is left every flight is done.
void removeArchivedShotsOf(sqlite3* db) {
    if (!removeArchivedShots(db)) return;
    for (const char* statement : {sql::clearStalePairings, sql::clearStaleUnpaired, sql::clearFinishedFlights})
        if (int rc = sqlite3_exec(db, statement, nullptr, nullptr, nullptr); rc != SQLITE_OK)
            logPrintf("vorn-camera sqlite3_exec(%s) failed, rc=%d\n", statement, rc);
}

// The tagging pass behind updatePairedImages. Returns the number archived, or -1 when the pass
// was rolled back and nothing was archived.
int tagPass(CameraContext* cam, FlightIdentity& flight, ImageList& images, int pairs, int fcPipe, int convert,
            int orientation, PassOutcome* outcome) {
    int archived = archiveTaggedImages(cam, flight, images, pairs, fcPipe, convert, orientation, outcome);
    setPassProgress(outcome->processed, std::max(archived, 0), pairs, false);
    if (archived < 0) return -1; // nothing archived: the shots stay for the next pass

    mavlink_message_t finalMsg = progressMessage(pairs, pairs);
    copyDatabase(cam->db, geodoneFile);
    // The commit made the pass: shots whose image is archived are left out by every later reader
    // of table image even when this removal fails.
    removeArchivedShotsOf(cam->db);
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
// pass archived it, and the pictures no shot was given (without a position, not tagged). A flight
// tagged again (a retry) keeps the shots its earlier passes wrote, those of this pass taking their
// place, in the order they were taken.
void exportShots(CameraContext* cam, const ImageList& images, const FileList& unpaired, const FlightIdentity& flight,
                 int flightNumber, bool again, const CardTarget& card) {
    std::vector<ExportedShot> shots = again ? exportedShots(flightNumber) : std::vector<ExportedShot>{};
    std::set<int64_t> inPass; // a shot is known by its time
    for (const ImageRecord& shot : images) inPass.insert(shot.geo.time);
    shots.erase(std::remove_if(shots.begin(), shots.end(),
                               [&](const ExportedShot& earlier) { return inPass.count(earlier.geo.time) > 0; }),
                shots.end());
    for (const ImageRecord& shot : images) {
        size_t slash = shot.path.rfind('/');
        bool tagged = !shot.path.empty() && anOldFile(cam->db, shot.path.c_str()) == 1;
        shots.push_back({slash == std::string::npos ? shot.path : shot.path.substr(slash + 1), true, shot.geo, tagged});
    }
    for (const FileRecord& file : unpaired) shots.push_back({file.path.substr(file.path.rfind('/') + 1), false, {}, false});
    std::stable_sort(shots.begin(), shots.end(),
                     [](const ExportedShot& a, const ExportedShot& b) { return a.geo.time < b.geo.time; });
    exportFlight({flightNumber, flight.missionID, flight.camType}, shots, card);
}

// A flight's shots waiting in table image, with who the flight is, and the pictures pairing by
// time gave no shot (extras, and those of an ambiguous stretch).
struct FlightShots {
    FlightIdentity flight;
    ImageList shots;
    FileList unpaired;
};

struct CaselessLess {
    bool operator()(const std::string& a, const std::string& b) const { return strcasecmp(a.c_str(), b.c_str()) < 0; }
};
using PathSet = std::set<std::string, CaselessLess>;

// The flight's shot numbers (from 1) as the crew reads them: "shot 4", "shots 4, 9", "shots 5-7".
std::string shotNumbers(const std::vector<size_t>& numbers) {
    std::string text;
    for (size_t k = 0; k < numbers.size();) {
        size_t last = k;
        while (last + 1 < numbers.size() && numbers[last + 1] == numbers[last] + 1) ++last;
        text += (text.empty() ? "" : ", ") + std::to_string(numbers[k]);
        if (last > k) text += "-" + std::to_string(numbers[last]);
        k = last + 1;
    }
    return (numbers.size() == 1 ? "shot " : "shots ") + text;
}

// Records why each shot of the list has no picture, so that it reaches table untagged with it;
// false (warned) when it cannot.
bool recordUnpairedShots(sqlite3* db, const ImageList& shots) {
    WriteTransaction tx(db, "pairUpItemsTime");
    Stmt record = tx.prepare(sql::recordUnpaired);
    for (const ImageRecord& shot : shots) {
        if (!record || shot.unpaired.empty()) continue;
        sqlite3_bind_int64(record.get(), 1, shot.id);
        sqlite3_bind_int64(record.get(), 2, shot.geo.time);
        sqlite3_bind_text(record.get(), 3, shot.unpaired.c_str(), -1, SQLITE_STATIC);
        tx.step(record.get());
    }
    record = {};
    if (tx.commit()) return true;
    rollBackPass(tx);
    return false;
}

// Pairs the open shots (numbered in their flight) with the free files by time: each pair logged
// with its residual; a shot without a picture gets its reason, a picture without a shot goes to
// the flight's unpaired ones. The ground hears what was found before any image is tagged. False
// when the reasons could not be recorded: then no picture may be tagged.
bool pairUpItemsTime(CameraContext* cam, FlightShots& group, ImageList& open, const std::vector<size_t>& numbers,
                    const FileList& free, const PictureTimes& times) {
    std::vector<size_t> order(free.size()); // the pictures in the order they were taken
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return times.ms[a] < times.ms[b]; });
    std::vector<int64_t> shotMs, fileMs;
    for (const ImageRecord& shot : open) shotMs.push_back(shot.geo.time);
    for (size_t k : order) fileMs.push_back(times.ms[k]);
    TimePairing found = pairByTime(shotMs, fileMs, times.resolutionMs, cameraWriteJitterMs);
    logPrintf("vorn-camera pairUpItemsTime %zu shots, %zu images, %s times, camera clock %+lld ms\n", open.size(),
              free.size(), times.fromExif ? "picture" : "file", static_cast<long long>(found.offsetMs));
    std::vector<size_t> missed, ambiguous;
    for (size_t i = 0; i < open.size(); ++i) {
        if (found.shots[i] == Fate::Paired) {
            const FileRecord& file = free[order[static_cast<size_t>(found.fileOfShot[i])]];
            open[i].path = file.path, open[i].size = file.size;
            logPrintf("vorn-camera pairUpItemsTime %2lld = %s    (%+lld ms)\n", static_cast<long long>(open[i].id),
                      file.path.c_str(), static_cast<long long>(found.residualMs[i]));
            continue;
        }
        bool miss = found.shots[i] == Fate::Unmatched;
        open[i].unpaired = miss ? "no picture for this shot" : "ambiguous pairing";
        (miss ? missed : ambiguous).push_back(numbers[i]);
    }
    size_t extras = 0;
    for (size_t k = 0; k < order.size(); ++k) {
        if (found.files[k] == Fate::Paired) continue;
        extras += found.files[k] == Fate::Unmatched;
        group.unpaired.push_back(free[order[k]]);
    }
    if (!recordUnpairedShots(cam->db, open)) return false; // warned: the next pass pairs again
    std::string text;
    if (!missed.empty()) text += shotNumbers(missed) + " missed; ";
    if (!ambiguous.empty()) text += shotNumbers(ambiguous) + " ambiguous; ";
    if (extras > 0) text += std::to_string(extras) + " extra; "; // short: a STATUSTEXT holds 50 characters
    warnGround(GroundWarning::PairedByTime, "flight %d: %spaired by time", nextFlightNumber(cam->db).value_or(0),
               text.c_str());
    return true;
}

// Gives the flight's shots their files from the card's new ones, taking each file it gives out of
// files: a shot paired by a committed pass keeps its file; the others take the files no waiting
// shot holds, unless a pass of their flight was committed (the files they lacked then are a later
// flight's): in order when the shots and files agree in number and intervals, else by time (the
// pictures' times recorded first). Returns the number of shots with a file, -1 when the pictures'
// times or the unpaired shots' reasons could not be recorded.
int pairFlight(CameraContext* cam, FlightShots& group, FileList& files, const PathSet& held) {
    ImageList open; // shots without a file yet, and their numbers in the flight
    std::vector<size_t> numbers;
    int pairs = 0;
    for (size_t i = 0; i < group.shots.size(); ++i) {
        ImageRecord& shot = group.shots[i];
        if (shot.path.empty()) {
            open.push_back(shot), numbers.push_back(i + 1);
            continue;
        }
        ++pairs; // its file may be gone: tagging tells
        auto file = std::find_if(files.begin(), files.end(), [&](const FileRecord& f) {
            return strcasecmp(f.path.c_str(), shot.path.c_str()) == 0;
        });
        if (file != files.end()) shot.size = file->size, files.erase(file);
    }
    if (group.flight.flightNumber != 0 || open.empty()) return pairs;
    FileList free;
    std::copy_if(files.begin(), files.end(), std::back_inserter(free),
                 [&](const FileRecord& f) { return held.count(f.path) == 0; });
    if (free.empty()) return pairs;
    if (open.size() == free.size() && firstIntervalMismatch(open, free) == 0) {
        pairUpItemsPath(open, free);
    } else {
        std::optional<PictureTimes> times = recordedPictureTimes(cam->db, free);
        if (!times) return -1; // warned: no picture is tagged before its time is recorded
        if (!pairUpItemsTime(cam, group, open, numbers, free, *times)) return -1;
    }
    for (size_t k = 0; k < open.size(); ++k) {
        ImageRecord& shot = group.shots[numbers[k] - 1];
        shot.unpaired = open[k].unpaired;
        if (open[k].path.empty()) continue;
        shot.path = open[k].path, shot.size = open[k].size, ++pairs;
        auto given = [&](const FileRecord& f) { return f.path == open[k].path; };
        files.erase(std::find_if(files.begin(), files.end(), given));
    }
    return pairs;
}

// Tags and archives the flight's paired shots and writes its side files; 1 when fewer were
// archived than paired.
int tagFlight(CameraContext* cam, const char* caller, FlightShots& group, int pairs, int fcPipe,
              const CardTarget& card) {
    logPrintf("vorn-camera %s %d items paired\n", caller, pairs);
    PassOutcome outcome;
    const bool again = group.flight.flightNumber != 0;
    int processed = tagPass(cam, group.flight, group.shots, pairs, fcPipe, 0, 6, &outcome);
    if (processed >= 0) exportShots(cam, group.shots, group.unpaired, group.flight, outcome.flightNumber, again, card);
    else processed = 0;
    logPrintf("vorn-camera %s %d images processed, %d expected\n", caller, processed, pairs);
    return processed != pairs ? 1 : 0;
}

// Pairs the waiting flights' shots with the new files of dir, oldest flight first, and tags them;
// 1 when fewer were archived than paired, or the card's files could not be listed. warnNoImages:
// the newest flight's shots finding no new file at its first pass are news for the ground (at
// postflight; a later recovery has its own warning).
int tagFlights(CameraContext* cam, const char* caller, std::vector<FlightShots>& flights, const char* dir,
               const char* ext, const char* cardRoot, int fcPipe, bool warnNoImages) {
    const CardTarget card = cardAt(cardRoot); // the card this pass tags
    removeTaggingLeftover(dir);
    logPrintf("vorn-camera %s get list of files from sdcard\n", caller);
    std::optional<FileList> files = getListFiles(cam->db, dir, ext);
    if (!files) return 1; // logged: nothing paired, the shots stay
    size_t shots = 0;
    PathSet held;
    for (const FlightShots& group : flights) {
        for (const ImageRecord& shot : group.shots) {
            ++shots;
            if (!shot.path.empty()) held.insert(shot.path);
        }
    }
    logPrintf("vorn-camera %s %zu images, %zu files to process\n", caller, shots, files->size());
    int result = 0;
    for (FlightShots& group : flights) {
        if (group.shots.empty()) continue;
        int pairs = pairFlight(cam, group, *files, held);
        if (pairs > 0) {
            result |= tagFlight(cam, caller, group, pairs, fcPipe, card);
        } else if (pairs < 0) {
            result = 1; // warned: the shots stay for the next pass
        } else if (warnNoImages && &group == &flights.back() && group.flight.flightNumber == 0 &&
                   group.unpaired.empty()) {
            // The camera wrote no picture, or the card was full.
            warnGround(GroundWarning::NoNewImages, "flight %d: %zu shots, no new image on the card",
                       nextFlightNumber(cam->db).value_or(0), group.shots.size());
        }
    }
    return result;
}

// Why a shot left after a pass has no tagged image.
const char* untaggedReason(const ImageRecord& shot) {
    if (!shot.unpaired.empty()) return shot.unpaired.c_str();
    if (shot.path.empty()) return "no image on the card";
    return exists(shot.path.c_str()) ? "tagging failed" : "image gone from the card";
}

// Moves the shots of the list still waiting in table image to table untagged under the flight's
// number, removing exactly the rows it copied, in one transaction. Returns the number moved, or
// -1 when nothing could be moved (the shots stay in image).
int moveToUntagged(sqlite3* db, const ImageList& images, const FlightIdentity& flight) {
    WriteTransaction tx(db, "moveToUntagged");
    std::optional<int> flightNumber = flight.flightNumber;
    if (flight.flightNumber == 0) flightNumber = nextFlightNumber(db); // no pass of it was committed
    if (!flightNumber) tx.fail(SQLITE_ERROR);
    Stmt move = tx.prepare(sql::moveShotToUntagged);
    Stmt remove = tx.prepare(sql::deleteShot);
    int moved = 0;
    for (size_t i = 0; tx.begun() && move && remove && i < images.size(); ++i) {
        const ImageRecord& shot = images[i];
        sqlite3_bind_int(move.get(), 1, *flightNumber);
        if (!shot.path.empty())
            sqlite3_bind_text(move.get(), 2, shot.path.data(), static_cast<int>(shot.path.size()), SQLITE_TRANSIENT);
        else sqlite3_bind_null(move.get(), 2);
        sqlite3_bind_text(move.get(), 3, untaggedReason(shot), -1, SQLITE_STATIC);
        sqlite3_bind_int64(move.get(), 4, current_timestamp());
        sqlite3_bind_int64(move.get(), 5, shot.id);
        if (!tx.step(move.get())) break;
        if (sqlite3_changes(db) == 0) continue; // archived meanwhile: its row goes with the archived ones
        sqlite3_bind_int64(remove.get(), 1, shot.id);
        if (!tx.step(remove.get())) break;
        ++moved;
    }
    if (tx.commit()) return moved;
    logPrintf("vorn-camera could not move shots to table untagged, rc=%d: they stay in table image\n", tx.rc());
    return -1;
}

// The shots waiting for their images, none when they cannot be read. Shots archived by a pass
// whose removal failed or was cut short are removed now (and left out even if that fails again).
std::optional<ImageList> flightShots(sqlite3* db) {
    removeArchivedShotsOf(db);
    return getListImages(db);
}

// The shots waiting in table image, each with its flight (shots older than the first flight
// recorded go with it); none, the crew told, when they cannot be read: a failed read is never
// taken for a flight without shots.
std::optional<std::vector<FlightShots>> waitingFlights(CameraContext* cam, const char* caller) {
    std::optional<ImageList> shots = flightShots(cam->db);
    if (!shots) {
        logPrintf("vorn-camera %s cannot read the flight's shots: they stay in table image\n", caller);
        warnGround(GroundWarning::ShotsUnreadable, "shots unreadable: %s", sqlite3_errmsg(cam->db));
        return std::nullopt;
    }
    std::vector<FlightShots> flights;
    for (FlightIdentity& flight : pendingFlights(cam)) flights.push_back({std::move(flight), {}, {}});
    size_t k = 0;
    for (ImageRecord& shot : *shots) {
        while (k + 1 < flights.size() && shot.id >= flights[k + 1].flight.firstShot) ++k;
        flights[k].shots.push_back(std::move(shot));
    }
    return flights;
}

} // namespace

int pairUpItemsPath(ImageList& images, const FileList& files) {
    if (images.empty() || files.empty()) return 0;
    logPuts("vorn-camera pairUpItemsPath");
    const size_t pairs = std::min(images.size(), files.size());
    for (size_t k = 0; k < pairs; ++k) {
        const size_t before = k == 0 ? 0 : k - 1;
        int64_t imageDelta = images[k].geo.time / 1000 - images[before].geo.time / 1000;
        int64_t fileDelta = files[k].mtime - files[before].mtime;
        images[k].size = files[k].size;
        images[k].path = files[k].path;
        char shortName[4];
        logPrintf("vorn-camera pairUpItemsPath %2lld = %s    (%lld,%lld)\n", static_cast<long long>(images[k].id),
                  getShortName(shortName, files[k].path.c_str()), static_cast<long long>(imageDelta),
                  static_cast<long long>(fileDelta));
    }
    logPrintf("vorn-camera pairUpItemsPath paired %zu items\n", pairs);
    return static_cast<int>(pairs);
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
    std::snprintf(out, argSize, "-M \"set Exif.GPSInfo.GPSTrack %lld/100\"", wrappedAngle(track));
}

std::vector<std::string> surveyTagArguments(const GeoData& geo) {
    const uint64_t ms = static_cast<uint64_t>(geo.time);
    const time_t seconds = static_cast<time_t>(ms / 1000);
    struct tm utc {};
    gmtime_r(&seconds, &utc);
    auto text = [](const char* fmt, auto... values) {
        char out[argSize];
        std::snprintf(out, sizeof out, fmt, values...);
        return std::string(out);
    };
    return {"-M \"set Exif.GPSInfo.GPSVersionID 2 3 0 0\"", "-M \"set Exif.GPSInfo.GPSMapDatum WGS-84\"",
            text("-M \"set Exif.GPSInfo.GPSDateStamp %04d:%02d:%02d\"", utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday),
            text("-M \"set Exif.GPSInfo.GPSTimeStamp %d/1 %d/1 %d/1000\"", utc.tm_hour, utc.tm_min,
                 utc.tm_sec * 1000 + static_cast<int>(ms % 1000)),
            "-M \"set Exif.GPSInfo.GPSTrackRef T\"",
            text("-M \"set Exif.GPSInfo.GPSImgDirection %lld/100\"", wrappedAngle(geo.yaw)),
            "-M \"set Exif.GPSInfo.GPSImgDirectionRef T\"",
            text("-M \"reg Camera %s\"", cameraXmpNamespace),
            text("-M \"set Xmp.Camera.Yaw %.2f\"", geo.yaw / 100.0),
            text("-M \"set Xmp.Camera.Pitch %.2f\"", geo.pitch / 100.0),
            text("-M \"set Xmp.Camera.Roll %.2f\"", geo.roll / 100.0)};
}

void formatDateTaken(uint64_t time, char* out) {
    time_t seconds = static_cast<time_t>(time / 1000);
    struct tm local {};
    char text[128] = "";
    if (localtime_r(&seconds, &local)) strftime(text, sizeof text, "%Y:%m:%d %H:%M:%S", &local);
    std::snprintf(out, argSize, "-M \"set Exif.Photo.DateTimeOriginal %s\"", text);
}

int updatePairedImages(CameraContext* cam, ImageList& images, int pairs, int fcPipe, int convert, int orientation) {
    FlightIdentity flight = pendingFlights(cam).back();
    PassOutcome outcome;
    int archived = tagPass(cam, flight, images, pairs, fcPipe, convert, orientation, &outcome);
    return archived < 0 ? 0 : archived;
}

int64_t firstIntervalMismatch(const ImageList& images, const FileList& files) {
    if (images.empty() || files.empty()) return 0;
    auto [earliest, latest] = std::minmax_element(
        files.begin(), files.end(), [](const FileRecord& a, const FileRecord& b) { return a.mtime < b.mtime; });
    // FAT cards keep file times in steps of two seconds.
    bool evenSeconds = std::all_of(files.begin(), files.end(), [](const FileRecord& f) { return f.mtime % 2 == 0; });
    const int64_t allowedMs = (evenSeconds ? 2000 : 1000) + cameraWriteJitterMs;
    // Files copied onto the card all carry about one time: they tell nothing about the shots.
    if ((latest->mtime - earliest->mtime) * 1000 <= allowedMs) return 0;
    for (size_t k = 1; k < std::min(images.size(), files.size()); ++k) {
        int64_t shotMs = images[k].geo.time - images[k - 1].geo.time;
        int64_t fileMs = (files[k].mtime - files[k - 1].mtime) * 1000;
        if (std::llabs(shotMs - fileMs) > allowedMs) return images[k].id;
    }
    return 0;
}

int pairAndTagFlight(CameraContext* cam, const char* caller, const char* dir, const char* ext, const char* cardRoot,
                     int fcPipe) {
    logPrintf("vorn-camera %s get list of images from db\n", caller);
    // Who the flights are, read once: a preflight arriving during the pass changes nothing of it.
    std::optional<std::vector<FlightShots>> flights = waitingFlights(cam, caller);
    if (!flights) return 1;
    return tagFlights(cam, caller, *flights, dir, ext, cardRoot, fcPipe, true);
}

int finishEarlierFlight(CameraContext* cam, const char* caller, const char* dir, const char* ext, const char* cardRoot,
                        int fcPipe) {
    std::optional<std::vector<FlightShots>> flights = waitingFlights(cam, caller);
    if (!flights) return 0;
    size_t shots = 0;
    for (const FlightShots& group : *flights) shots += group.shots.size();
    if (shots == 0) return 1;
    logPrintf("vorn-camera %s %zu shots left from an earlier flight\n", caller, shots);
    tagFlights(cam, caller, *flights, dir, ext, cardRoot, fcPipe, false);
    int moved = 0;
    for (const FlightShots& group : *flights) {
        int movedNow = moveToUntagged(cam->db, group.shots, group.flight);
        if (movedNow < 0) return 0;
        moved += movedNow;
    }
    if (moved > 0) {
        logPrintf("vorn-camera %s %d shots moved to table untagged\n", caller, moved);
        warnGround(GroundWarning::ShotsUntagged, "%d shots not tagged: kept in table untagged", moved);
    }
    return 1;
}

int takePreflight(CameraContext* cam, const char* caller, const char* dir, const char* ext, const char* cardRoot,
                  int fcPipe) {
    if (dir && !finishEarlierFlight(cam, caller, dir, ext, cardRoot, fcPipe)) {
        warnGround(GroundWarning::PreflightNotRecorded, "preflight not recorded: earlier shots kept");
        return -1;
    }
    WriteTransaction tx(cam->db, "getUnknownFiles");
    int count = 0;
    if (tx.begun()) {
        logPuts("vorn-camera getUnknownFiles BEGIN TRANSACTION successful");
        // Without the card only where this flight's shots begin is kept: the earlier flights wait.
        if ((!dir || tx.exec(sql::clearFinishedFlights)) && recordFlight(tx, contextFlight(cam)) && dir &&
            (count = getUnknownFiles(tx, dir, ext)) < 0)
            tx.fail(SQLITE_ERROR); // the card could not be listed
        if (tx.commit()) {
            if (dir) return count;
            logPrintf("vorn-camera %s card not mounted: the earlier shots and the card's file list stay\n", caller);
            warnGround(GroundWarning::PreflightNotRecorded, "card not mounted: preflight not done");
            return -1;
        }
    }
    logPrintf("vorn-camera %s preflight not recorded, rc=%d: the card's earlier file list stays\n", caller, tx.rc());
    warnGround(GroundWarning::PreflightNotRecorded, "preflight not recorded: %s", tx.why());
    return -1;
}
