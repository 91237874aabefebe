// Helpers of the camera-chain tests: real SQLite files, real images made with ImageMagick, EXIF
// tags read back with exiv2, progress messages read from a real pipe.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "archive/geotagDb.h"
#include "core/AppContext.h"
#include "core/pipes.h"
#include "core/shell.h"
#include "mavlink/mavlink.h"

namespace chain {

struct DbCloser {
    void operator()(sqlite3* db) const { sqlite3_close(db); }
};
using Db = std::unique_ptr<sqlite3, DbCloser>;

inline Db openDb(const std::string& path) {
    sqlite3* db = nullptr;
    EXPECT_EQ(sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr), SQLITE_OK);
    return Db(db);
}

inline void exec(sqlite3* db, const std::string& statement) {
    char* err = nullptr;
    int rc = sqlite3_exec(db, statement.c_str(), nullptr, nullptr, &err);
    EXPECT_EQ(rc, SQLITE_OK) << statement << ": " << (err ? err : "");
    sqlite3_free(err);
}

inline void createSchema(sqlite3* db) {
    for (const char* s : {sql::createImage, sql::createOldfiles, sql::createFlights, sql::createUnknownFiles,
                          sql::createUntagged, sql::createPendingFlight, sql::createPairing,
                          sql::createUnpaired, sql::createPictureTime})
        exec(db, s);
}

// The camera-less driver's prepared shots: a table with the columns of image.
inline void createOrigImage(sqlite3* db) {
    std::string statement = sql::createImage;
    const std::string name = "IF NOT EXISTS image";
    statement.replace(statement.find(name), name.size(), "origImage");
    exec(db, statement);
}

// Rows of a query, every column as text ("NULL" for a null).
inline std::vector<std::vector<std::string>> query(sqlite3* db, const std::string& statement) {
    std::vector<std::vector<std::string>> rows;
    sqlite3_stmt* stmt = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(db, statement.c_str(), -1, &stmt, nullptr), SQLITE_OK) << statement;
    while (stmt && sqlite3_step(stmt) == SQLITE_ROW) {
        std::vector<std::string> row;
        for (int i = 0; i < sqlite3_column_count(stmt); ++i) {
            const unsigned char* t = sqlite3_column_text(stmt, i);
            row.push_back(t ? reinterpret_cast<const char*>(t) : "NULL");
        }
        rows.push_back(row);
    }
    sqlite3_finalize(stmt);
    return rows;
}

struct Shot {
    int64_t time;
    int32_t lat, lon, yaw, alt;
    std::string path = "";
};

// Appends a row to table (image or origImage), as a trigger would.
inline void addShot(sqlite3* db, const Shot& s, const std::string& table = "image") {
    std::ostringstream q;
    q << "INSERT INTO " << table << " (time, lat, lon, pitch, roll, yaw, heading, alt, size, path) VALUES(" << s.time
      << "," << s.lat << "," << s.lon << ",0,0," << s.yaw << ",0," << s.alt << ",0,'" << s.path << "')";
    exec(db, q.str());
}

// A small real image (format from the extension: jpg, JPG, tiff ...).
inline void makeImage(const std::string& path, const std::string& size = "64x48", const std::string& fill = "gray") {
    ASSERT_EQ(runShell("convert -size " + size + " xc:" + fill + " " + shellQuote(path)), 0) << path;
}

// The lines a shell command prints on its standard output.
inline std::vector<std::string> commandLines(const std::string& command) {
    std::vector<std::string> lines;
    FILE* p = popen(command.c_str(), "r");
    if (!p) return lines;
    char line[4096];
    while (fgets(line, sizeof line, p)) {
        std::string l(line);
        while (!l.empty() && (l.back() == '\n' || l.back() == '\r')) l.pop_back();
        lines.push_back(l);
    }
    pclose(p);
    return lines;
}

// The flight's side files read back by real parsers (python's json and csv modules): one line per
// GeoJSON feature, "image|lon|lat|alt|yaw|tagged", then "csv:" and each CSV row's fields joined by
// "|", then "props:" and the collection's properties. Nothing when a file does not parse.
inline std::vector<std::string> parsedSideFiles(const std::string& dir) {
    const char* script = R"PY(
import csv, json, sys
d = sys.argv[1]
c = json.load(open(d + "/shots.geojson", encoding="utf-8"))
assert c["type"] == "FeatureCollection"
for f in c["features"]:
    g, p = f["geometry"], f["properties"]
    xyz = g["coordinates"] if g else ["", "", ""]
    print("|".join(str(v) for v in [p["image"], *xyz, p.get("yaw", ""), p["tagged"]]).replace("\n", "\\n"))
for row in csv.reader(open(d + "/shots.csv", newline="", encoding="utf-8")):
    print("csv:" + "|".join(row).replace("\n", "\\n"))
p = c["properties"]
print("props:%s|%s|%s" % (p["flight"], p["missionID"].replace("\n", "\\n"), p["camType"]))
)PY";
    return commandLines("python3 -c " + shellQuote(script) + " " + shellQuote(dir) + " 2>&1");
}

// EXIF tags of a file as exiv2 reads them back: key -> raw value.
inline std::map<std::string, std::string> exifTags(const std::string& path) {
    std::map<std::string, std::string> tags;
    for (const std::string& l : commandLines("exiv2 -Pkv " + shellQuote(path) + " 2>/dev/null")) {
        auto sp = l.find(' ');
        if (sp == std::string::npos) continue;
        auto value = l.find_first_not_of(' ', sp);
        tags[l.substr(0, sp)] = value == std::string::npos ? "" : l.substr(value);
    }
    return tags;
}

// The texts of the STATUSTEXT messages among the messages.
inline std::vector<std::string> statusTexts(const std::vector<mavlink_message_t>& messages) {
    std::vector<std::string> texts;
    for (const auto& m : messages)
        if (char text[51] = {}; m.msgid == 253) texts.push_back((mavlink_msg_statustext_get_text(&m, text), text));
    return texts;
}

using Progress = std::pair<int, int>; // a decoded PROCESSING_PROGRESS report: archived, pairs

// Every MAVLink record framed on the pipe so far (the pipe's read end is made non-blocking).
inline std::vector<mavlink_message_t> drainMessages(int fd) {
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    std::vector<mavlink_message_t> out;
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 0) <= 0) break;
        mavlink_message_t msg{};
        if (!msgRead(fd, &msg)) break;
        out.push_back(msg);
    }
    return out;
}

// The progress reports among the messages, checking the envelope of each.
inline std::vector<Progress> progressReports(const std::vector<mavlink_message_t>& messages) {
    std::vector<Progress> out;
    for (const auto& msg : messages) {
        if (msg.msgid != 172) continue;
        EXPECT_EQ(msg.sysid, 100);
        EXPECT_EQ(msg.compid, 100);
        mavlink_data96_t d{};
        mavlink_msg_data96_decode(&msg, &d);
        EXPECT_EQ(d.type, PROCESSING_PROGRESS);
        EXPECT_EQ(d.len, 6);
        EXPECT_EQ(d.data[4], 0xFF);
        EXPECT_EQ(d.data[5], 0xBE);
        out.push_back({d.data[0] | (d.data[1] << 8), d.data[2] | (d.data[3] << 8)});
    }
    return out;
}

// Changes the working directory for the life of the object (the tagging pass works relative to it).
class WorkDir {
public:
    explicit WorkDir(const std::string& dir) {
        char buf[4096];
        old_ = getcwd(buf, sizeof buf) ? buf : "/";
        EXPECT_EQ(chdir(dir.c_str()), 0);
    }
    ~WorkDir() { (void)!chdir(old_.c_str()); }

private:
    std::string old_;
};

} // namespace chain
