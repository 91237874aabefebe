#include "sentera/cam_sentera_archive.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <mutex>
#include <optional>

#include "archive/cardInventory.h"
#include "archive/flightExport.h"
#include "archive/geotagDb.h"
#include "core/handles.h"
#include "core/logging.h"
#include "core/userMessage.h"
#include "core/sandbox.h"
#include "sentera/cam_sentera_utils.h"
#include "sentera/senteraShare.h"

namespace {

// A config.yml is a few hundred bytes; anything this large is not one.
constexpr long maxConfigSize = 1L << 20;

// Reads the whole file into text; false (logged) when it cannot be opened, sized or read.
bool readConfig(const std::string& path, std::string* text) {
    FilePtr f(std::fopen(path.c_str(), "rbe"));
    if (!f) {
        logPrintf("vorn-camera findSensors ERROR: Failed to open file: %s\n", path.c_str());
        return false;
    }
    long size = std::fseek(f.get(), 0, SEEK_END) == 0 ? std::ftell(f.get()) : -1;
    if (size < 0 || size > maxConfigSize) {
        errPrintf("vorn-camera findSensors ERROR: Failed to find size of %s\n", path.c_str());
        return false;
    }
    // Read from wherever the stream stands: at the end that is an empty text.
    if (std::fseek(f.get(), 0, SEEK_SET) != 0)
        errPrintf("vorn-camera findSensors ERROR: Failed to reset file stream position indicator");
    text->assign(static_cast<size_t>(size), '\0');
    size_t got = std::fread(text->data(), 1, text->size(), f.get());
    if (std::ferror(f.get())) {
        errPrintf("vorn-camera findSensors ERROR: Failed to read file: %s\n", path.c_str());
        return false;
    }
    text->resize(got); // the file may have shrunk: parse only what was read
    return true;
}

// Every "CamName: " names a sensor up to the next carriage return (leading ones skipped);
// a line feed does not end a name.
std::vector<std::string> parseSensorNames(const std::string& text) {
    std::vector<std::string> sensors;
    const char* p = text.c_str();
    while ((p = splitStr(p, "CamName: "))) {
        p += std::strspn(p, "\r");
        size_t len = std::strcspn(p, "\r");
        if (len == 0) break;
        std::string name(p, len);
        logPrintf("vorn-camera got sensorName: %s\n", name.c_str());
        sensors.push_back("/" + name + "/");
        p += len;
        if (*p == '\r') ++p;
    }
    return sensors;
}

int64_t fileSize(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_size) : 0;
}

// Writes one oldfiles row per image number and sensor inside the transaction (a path archived
// already is left as it is); returns the last path built, none when a row could not be written.
// Each image (sensor folder and file name) is added to images; the camera tags its own, so none is
// tagged here. stored counts the rows written.
std::optional<std::string> storeSensorImages(WriteTransaction& tx, const std::vector<std::string>& sensors,
                                             const std::string& session, int count, int flightNumber,
                                             std::vector<ExportedShot>* images, int* stored) {
    std::string lastPath;
    Stmt insert = tx.prepare(sql::insertOldFile);
    if (!insert) return std::nullopt;
    std::string sessionDir = sandboxPath(senteraMountPoint) + "/snapshots/" + session;
    for (size_t i = 0; i < sensors.size(); ++i) {
        logPrintf("vorn-camera storeFlightImages storing images from sensor %d: %s\n", static_cast<int>(i),
                  sensors[i].c_str());
        // The first sensor's count stands for every sensor; missing files are entered with size 0.
        for (int n = 1; n <= count; ++n) {
            char fileName[32];
            std::snprintf(fileName, sizeof fileName, "%s%05d%s", "IMG_", n, ".jpg");
            lastPath = sessionDir + sensors[i] + fileName;
            images->push_back({sensors[i].substr(1) + fileName, false, GeoData{}, false});
            sqlite3_bind_text(insert.get(), 1, lastPath.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_bind_int64(insert.get(), 2, fileSize(lastPath));
            sqlite3_bind_int(insert.get(), 3, flightNumber);
            int added = tx.insert(insert.get(), "insertOld(" + lastPath + ")");
            if (added < 0) return std::nullopt;
            *stored += added;
        }
    }
    return lastPath;
}

// Archives the session's images under a new flight number with the flight's row, all or nothing.
// Returns the number of paths stored, -1 (logged, warned) when the rows are rolled back.
int archiveSession(const FlightIdentity& flight, sqlite3* db, const std::vector<std::string>& sensors,
                   const std::string& session, int count, const CardTarget& card) {
    WriteTransaction tx(db, "storeFlightImages");
    std::optional<int> flightNumber = tx.begun() ? nextFlightNumber(db) : std::nullopt;
    std::vector<ExportedShot> images;
    std::optional<std::string> lastPath;
    int stored = 0;
    if (flightNumber && (lastPath = storeSensorImages(tx, sensors, session, count, *flightNumber, &images, &stored)) &&
        writeFlightRow(tx, *flightNumber, flight, *lastPath) && tx.commit()) {
        exportFlight({*flightNumber, flight.missionID, flight.camType}, images, card);
        return stored;
    }
    warnGround(GroundWarning::PassRolledBack, "archive rolled back: %s", tx.why());
    return -1;
}

} // namespace

void copySenteraFlight(CameraContext* cam, CameraContext* flight) {
    std::lock_guard<std::mutex> guard(cam->lock);
    flight->db = cam->db;
    std::copy(std::begin(cam->missionID), std::end(cam->missionID), flight->missionID);
    flight->camType = cam->camType;
    flight->flightTime = cam->flightTime;
}

std::vector<std::string> findSensors() {
    logPuts("vorn-camera findSensors started");
    std::string path = sandboxPath(std::string(senteraMountPoint) + "/info/config.yml");
    if (!exists(path.c_str())) {
        path = sandboxPath(std::string(senteraMountPoint) + "/config.yml");
        if (!exists(path.c_str())) return {};
    }
    logPrintf("vorn-camera findSensors found config file: %s\n", path.c_str());
    std::string text;
    if (!readConfig(path, &text)) return {};
    std::vector<std::string> sensors = parseSensorNames(text);
    if (sensors.empty()) logPuts("vorn-camera findSensors failed to find any sensorNames");
    return sensors;
}

int storeSenteraImagesSamba(CameraContext* cam) {
    // One consistent copy of the flight: the message handler may rewrite the live fields.
    CameraContext flight;
    copySenteraFlight(cam, &flight);
    if (mount_sentera() != 0) {
        logPuts("vorn-camera storeSenteraImages ERROR: Unable to mount Sentera");
        return -1;
    }
    const CardTarget card = cardAt(sandboxPath(senteraMountPoint)); // the share this pass archives
    std::vector<std::string> sensors = findSensors();
    if (sensors.empty()) {
        logPuts("vorn-camera storeSenteraImages ERROR: No sensors found");
        return -1;
    }
    std::string missionID(flight.missionID, missionIdLength(flight.missionID));
    std::optional<std::string> session = getCurrentSession(missionID.c_str());
    int count = session ? getCurrentSessionImages(session->c_str(), sensors[0].c_str()) : 0;
    logPrintf("vorn-camera storeSenteraImages Session: %s  Number of Images: %d\n", session ? session->c_str() : "",
              count);
    if (count == 0) {
        logPuts("vorn-camera storeSenteraImages ERROR: No images found found");
        return -1;
    }
    return archiveSession(contextFlight(&flight), flight.db, sensors, *session, count, card);
}
