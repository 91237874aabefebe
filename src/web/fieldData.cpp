#include "web/fieldData.h"

#include <dirent.h>
#include <json-c/json.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <iterator>
#include <map>
#include <memory>
#include <vector>

#include "archive/flightExport.h"
#include "archive/geotagDb.h"
#include "core/AppContext.h"
#include "core/clock.h"
#include "core/cmdLine.h"
#include "core/handles.h"
#include "core/liveStatus.h"
#include "core/logging.h"
#include "logs/logStore.h"

namespace {

struct JsonPut {
    void operator()(json_object* o) const { json_object_put(o); }
};
using Json = std::unique_ptr<json_object, JsonPut>;

// Adds value under key; the object owns it from then on.
void put(json_object* object, const char* key, json_object* value) {
    json_object_object_add(object, key, value);
}
json_object* text(const std::string& s) {
    return json_object_new_string_len(s.data(), static_cast<int>(s.size()));
}
// Degrees * 1e7 as degrees, to the 7 decimals they hold.
json_object* degrees(int32_t e7) {
    char s[24];
    std::snprintf(s, sizeof s, "%.7f", e7 / 1e7);
    return json_object_new_double_s(e7 / 1e7, s);
}
std::string written(const Json& root) {
    return json_object_to_json_string_ext(root.get(), JSON_C_TO_STRING_PLAIN | JSON_C_TO_STRING_NOSLASHESCAPE);
}

const char* cameraName(int camType) {
    switch (camType) {
    case 0: return "not set";
    case CAMTYPE_NONE: return "none";
    case CAMTYPE_SURVEY3: return "Survey3";
    case CAMTYPE_KERNEL: return "Kernel";
    case CAMTYPE_SONY: return "Sony";
    case CAMTYPE_SENTERA: return "Sentera";
    default: return "unknown";
    }
}

const char* aircraftState(const LiveStatus& live) {
    if (!live.fcHeard) return "not heard";
    if (live.active) return "in flight";
    return live.armed ? "armed" : "on the ground";
}

// A flight as listed: from its flights row, or only from its untagged shots when no pass of it
// was committed.
struct FlightRow {
    int number = 0;
    std::string mission;
    int camType = 0;
    int64_t time = 0;
    std::string untaggedStamp; // the count and the newest row of its untagged shots; empty: none
};

std::string columnText(sqlite3_stmt* st, int column) {
    const unsigned char* s = sqlite3_column_text(st, column);
    return s ? std::string(reinterpret_cast<const char*>(s), sqlite3_column_bytes(st, column)) : std::string();
}

// Steps st to its end, handing each row to onRow; false when the statement failed.
template <typename OnRow>
bool eachRow(sqlite3_stmt* st, OnRow onRow) {
    int rc;
    while ((rc = sqlite3_step(st)) == SQLITE_ROW) onRow(st);
    return rc == SQLITE_DONE;
}

std::optional<std::map<int, FlightRow>> listedFlights(sqlite3* db) {
    int rc = SQLITE_OK;
    Stmt rows = prepareStmt(db, "SELECT flightID, missionID, camType, time FROM flights WHERE flightID > 0", &rc);
    Stmt moved = prepareStmt(
        db, "SELECT flightID, MIN(movedAt), COUNT(*), MAX(id) FROM untagged WHERE flightID > 0 GROUP BY flightID", &rc);
    std::map<int, FlightRow> flights;
    if (!rows || !moved ||
        !eachRow(rows.get(), [&](sqlite3_stmt* st) {
            const int n = sqlite3_column_int(st, 0);
            flights[n] = {n, columnText(st, 1), sqlite3_column_int(st, 2), sqlite3_column_int64(st, 3), ""};
        }) ||
        !eachRow(moved.get(), [&](sqlite3_stmt* st) {
            const int n = sqlite3_column_int(st, 0);
            FlightRow& row = flights.try_emplace(n, FlightRow{n, "", 0, sqlite3_column_int64(st, 1), ""}).first->second;
            row.untaggedStamp = std::to_string(sqlite3_column_int64(st, 2)) + "/" + std::to_string(sqlite3_column_int64(st, 3));
        })) {
        logPrintf("vorn-camera webServer flights unreadable: %s\n", sqlite3_errmsg(db));
        return std::nullopt;
    }
    // A flights row is also written for the files a card held before a flight: a flight is what
    // has shots, in its files or in table untagged.
    std::erase_if(flights, [](const auto& f) {
        struct stat info;
        return f.second.untaggedStamp.empty() && stat(flightFolder(f.first).c_str(), &info) != 0;
    });
    return flights;
}

// A shot as the page shows it.
struct ShotView {
    std::string image;
    GeoData geo;
    bool tagged;
    std::string reason; // why it has no tagged image
};

struct FlightView {
    FlightRow row;
    std::vector<ShotView> shots;      // by time
    std::vector<std::string> extras;  // pictures no shot was given
};

std::string baseName(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The flight's shots as its files list them, each untagged one with the reason it was moved to
// table untagged (matched by its time); the moved shots the files do not list (no pass of the
// flight was committed) are added from the table.
std::optional<FlightView> flightView(sqlite3* db, const FlightRow& row) {
    int rc = SQLITE_OK;
    Stmt untagged = prepareStmt(db, "SELECT time, lat, lon, alt, path, reason FROM untagged WHERE flightID = ?", &rc);
    if (!untagged) return std::nullopt;
    sqlite3_bind_int(untagged.get(), 1, row.number);
    std::multimap<int64_t, ShotView> moved;
    if (!eachRow(untagged.get(), [&](sqlite3_stmt* st) {
            GeoData geo{};
            geo.time = sqlite3_column_int64(st, 0), geo.lat = sqlite3_column_int(st, 1);
            geo.lon = sqlite3_column_int(st, 2), geo.alt = sqlite3_column_int(st, 3);
            moved.emplace(geo.time, ShotView{baseName(columnText(st, 4)), geo, false, columnText(st, 5)});
        }))
        return std::nullopt;
    FlightView view{row, {}, {}};
    for (ExportedShot& shot : exportedShots(row.number)) {
        if (!shot.hasPosition) {
            view.extras.push_back(std::move(shot.image));
            continue;
        }
        ShotView v{std::move(shot.image), shot.geo, shot.tagged, ""};
        if (auto m = moved.find(shot.geo.time); !shot.tagged && m != moved.end()) {
            v.reason = m->second.reason;
            moved.erase(m);
        } else if (!shot.tagged) {
            v.reason = "waiting for the next pass";
        }
        view.shots.push_back(std::move(v));
    }
    for (auto& m : moved) view.shots.push_back(std::move(m.second));
    std::stable_sort(view.shots.begin(), view.shots.end(),
                     [](const ShotView& a, const ShotView& b) { return a.geo.time < b.geo.time; });
    return view;
}

// A file name as one path segment of a link: every byte but the unreserved ones percent-encoded.
std::string urlSegment(const std::string& name) {
    std::string out;
    for (unsigned char c : name) {
        if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
            out += static_cast<char>(c);
        } else {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%%%02X", c);
            out += hex;
        }
    }
    return out;
}

bool isRegularFile(const std::string& path, struct stat* info) {
    return lstat(path.c_str(), info) == 0 && S_ISREG(info->st_mode);
}

// The warnings whose text names the flight ("flight N: ...").
json_object* warningsOf(const LiveStatus& live, int flightNumber) {
    const std::string prefix = "flight " + std::to_string(flightNumber) + ":";
    json_object* list = json_object_new_array();
    for (const RecentWarning& w : live.warnings)
        if (w.text.compare(0, prefix.size(), prefix) == 0) json_object_array_add(list, text(w.text));
    return list;
}

struct Counts {
    int64_t shots, tagged, extras;
};

Counts countsOf(const FlightView& view) {
    const auto tagged = std::count_if(view.shots.begin(), view.shots.end(), [](const ShotView& s) { return s.tagged; });
    return {static_cast<int64_t>(view.shots.size()), tagged, static_cast<int64_t>(view.extras.size())};
}

json_object* flightSummary(const FlightRow& row, const Counts& counts, const LiveStatus& live) {
    json_object* o = json_object_new_object();
    put(o, "flight", json_object_new_int(row.number));
    put(o, "mission", text(row.mission));
    put(o, "time", json_object_new_int64(row.time));
    put(o, "camera", json_object_new_string(cameraName(row.camType)));
    put(o, "shots", json_object_new_int64(counts.shots));
    put(o, "tagged", json_object_new_int64(counts.tagged));
    put(o, "untagged", json_object_new_int64(counts.shots - counts.tagged));
    put(o, "extraImages", json_object_new_int64(counts.extras));
    put(o, "warnings", warningsOf(live, row.number));
    return o;
}

// A flight's counts, read again only when its files or its untagged shots changed: the list is
// asked for often, and a season's flights are too many to read each time. Only the web server
// thread reads them.
std::map<int, std::pair<std::string, Counts>> g_counts;

std::optional<Counts> cachedCounts(sqlite3* db, const FlightRow& row) {
    struct stat csv{};
    stat((flightFolder(row.number) + "/shots.csv").c_str(), &csv);
    const std::string stamp = row.untaggedStamp + "|" + std::to_string(csv.st_size) + "|" +
                              std::to_string(csv.st_mtim.tv_sec) + "." + std::to_string(csv.st_mtim.tv_nsec);
    auto cached = g_counts.find(row.number);
    if (cached != g_counts.end() && cached->second.first == stamp) return cached->second.second;
    std::optional<FlightView> view = flightView(db, row);
    if (!view) return std::nullopt;
    g_counts[row.number] = {stamp, countsOf(*view)};
    return countsOf(*view);
}

json_object* shotsOf(const FlightView& view) {
    json_object* list = json_object_new_array();
    int n = 0;
    for (const ShotView& s : view.shots) {
        json_object* o = json_object_new_object();
        put(o, "n", json_object_new_int(++n));
        put(o, "image", text(s.image));
        put(o, "time", json_object_new_int64(s.geo.time));
        put(o, "lat", degrees(s.geo.lat));
        put(o, "lon", degrees(s.geo.lon));
        put(o, "alt", json_object_new_double(s.geo.alt / 1000.0));
        put(o, "tagged", json_object_new_boolean(s.tagged));
        put(o, "reason", s.tagged ? nullptr : text(s.reason));
        json_object_array_add(list, o);
    }
    return list;
}

json_object* filesOf(int flightNumber) {
    json_object* list = json_object_new_array();
    for (const char* name : flightFileNames) {
        struct stat info;
        if (!isRegularFile(flightFolder(flightNumber) + "/" + name, &info)) continue;
        json_object* o = json_object_new_object();
        put(o, "name", json_object_new_string(name));
        put(o, "size", json_object_new_int64(info.st_size));
        put(o, "href", text("/flights/" + std::to_string(flightNumber) + "/" + name));
        json_object_array_add(list, o);
    }
    return list;
}

struct LogEntry {
    std::string name;
    int64_t size;
    int64_t mtimeMs;
};

// The regular files of the log directory, newest first (links and folders are never listed).
std::vector<LogEntry> listedLogs() {
    std::vector<LogEntry> logs;
    const std::string dir = logDirectory();
    DirPtr d(opendir(dir.c_str()));
    for (dirent* e; d && (e = readdir(d.get())) != nullptr;) {
        struct stat info;
        if (isRegularFile(dir + e->d_name, &info))
            logs.push_back({e->d_name, info.st_size, info.st_mtim.tv_sec * 1000LL + info.st_mtim.tv_nsec / 1000000});
    }
    std::sort(logs.begin(), logs.end(), [](const LogEntry& a, const LogEntry& b) {
        return a.mtimeMs != b.mtimeMs ? a.mtimeMs > b.mtimeMs : a.name > b.name;
    });
    return logs;
}

} // namespace

std::string statusJson() {
    const LiveStatus live = liveStatus();
    Json root(json_object_new_object());
    put(root.get(), "version", json_object_new_string(VORN_VERSION));
    put(root.get(), "time", json_object_new_int64(current_timestamp()));
    put(root.get(), "aircraft", json_object_new_string(aircraftState(live)));
    put(root.get(), "camera", json_object_new_string(cameraName(live.camType)));
    json_object* pass = nullptr;
    if (live.pass.updatedMs != 0) {
        pass = json_object_new_object();
        put(pass, "running", json_object_new_boolean(live.pass.running));
        put(pass, "processed", json_object_new_int(live.pass.processed));
        put(pass, "tagged", json_object_new_int(live.pass.tagged));
        put(pass, "pairs", json_object_new_int(live.pass.pairs));
        put(pass, "time", json_object_new_int64(live.pass.updatedMs));
    }
    put(root.get(), "pass", pass);
    json_object* warnings = json_object_new_array();
    for (auto w = live.warnings.rbegin(); w != live.warnings.rend(); ++w) {
        json_object* o = json_object_new_object();
        put(o, "time", json_object_new_int64(w->timeMs));
        put(o, "repeats", json_object_new_int(w->repeats));
        put(o, "text", text(w->text));
        json_object_array_add(warnings, o);
    }
    put(root.get(), "warnings", warnings);
    put(root.get(), "revision", json_object_new_uint64(live.revision));
    return written(root);
}

std::optional<std::string> flightsJson(sqlite3* db) {
    std::optional<std::map<int, FlightRow>> flights = listedFlights(db);
    if (!flights) return std::nullopt;
    const LiveStatus live = liveStatus();
    Json root(json_object_new_object());
    json_object* list = json_object_new_array();
    put(root.get(), "flights", list);
    for (auto f = flights->rbegin(); f != flights->rend(); ++f) {
        std::optional<Counts> counts = cachedCounts(db, f->second);
        if (!counts) return std::nullopt;
        json_object_array_add(list, flightSummary(f->second, *counts, live));
    }
    return written(root);
}

std::optional<std::string> flightJson(sqlite3* db, int flightNumber) {
    std::optional<std::map<int, FlightRow>> flights = listedFlights(db);
    if (!flights || flights->count(flightNumber) == 0) return std::nullopt;
    std::optional<FlightView> view = flightView(db, flights->at(flightNumber));
    if (!view) return std::nullopt;
    Json root(flightSummary(view->row, countsOf(*view), liveStatus()));
    put(root.get(), "shotList", shotsOf(*view));
    json_object* extras = json_object_new_array();
    for (const std::string& name : view->extras) json_object_array_add(extras, text(name));
    put(root.get(), "extraImageNames", extras);
    put(root.get(), "files", filesOf(flightNumber));
    return written(root);
}

std::string logsJson() {
    Json root(json_object_new_object());
    json_object* list = json_object_new_array();
    put(root.get(), "logs", list);
    for (const LogEntry& log : listedLogs()) {
        json_object* o = json_object_new_object();
        put(o, "name", text(log.name));
        put(o, "size", json_object_new_int64(log.size));
        put(o, "time", json_object_new_int64(log.mtimeMs));
        put(o, "href", text("/logs/" + urlSegment(log.name)));
        json_object_array_add(list, o);
    }
    return written(root);
}

std::optional<std::string> flightFilePath(sqlite3* db, int flightNumber, const std::string& name) {
    auto listed = std::find(std::begin(flightFileNames), std::end(flightFileNames), name);
    std::optional<std::map<int, FlightRow>> flights = listedFlights(db);
    if (listed == std::end(flightFileNames) || !flights || flights->count(flightNumber) == 0) return std::nullopt;
    std::string path = flightFolder(flightNumber) + "/" + *listed;
    struct stat info;
    return isRegularFile(path, &info) ? std::optional<std::string>(path) : std::nullopt;
}

std::optional<std::string> logFilePath(const std::string& name) {
    for (const LogEntry& log : listedLogs())
        if (log.name == name) return logDirectory() + log.name;
    return std::nullopt;
}
