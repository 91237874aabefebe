#include "archive/flightExport.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <utility>

#include "core/fileIo.h"
#include "core/logging.h"

namespace {

// Appends printf-style text, however long (a card's file name may take 255 bytes): formatted once
// into the string's end, again only when it is longer than a usual line.
void appendf(std::string* out, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void appendf(std::string* out, const char* fmt, ...) {
    constexpr size_t usualLine = 256;
    va_list args, again;
    va_start(args, fmt);
    va_copy(again, args);
    const size_t at = out->size();
    out->resize(at + usualLine);
    int n = std::vsnprintf(&(*out)[at], usualLine, fmt, args);
    if (n >= static_cast<int>(usualLine)) {
        out->resize(at + static_cast<size_t>(n) + 1);
        std::vsnprintf(&(*out)[at], static_cast<size_t>(n) + 1, fmt, again);
    }
    out->resize(at + static_cast<size_t>(n > 0 ? n : 0));
    va_end(again);
    va_end(args);
}

// Length of the valid UTF-8 sequence at p (at most left bytes), 0 when there is none.
size_t utf8Length(const unsigned char* p, size_t left) {
    size_t n = *p >= 0xF0 && *p <= 0xF4 ? 4 : *p >= 0xE0 ? 3 : *p >= 0xC2 && *p <= 0xDF ? 2 : 0;
    if (n == 0 || n > left) return 0;
    for (size_t i = 1; i < n; ++i)
        if ((p[i] & 0xC0) != 0x80) return 0;
    return n;
}

// The text with every byte that is not part of valid UTF-8 replaced by U+FFFD: names come from
// the card and may hold any byte, and the files must still parse as UTF-8.
std::string validUtf8(const std::string& text) {
    std::string out;
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    for (size_t i = 0; i < text.size();) {
        size_t n = p[i] < 0x80 ? 1 : utf8Length(p + i, text.size() - i);
        out.append(n ? text.substr(i, n) : "\xef\xbf\xbd");
        i += n ? n : 1;
    }
    return out;
}

// A JSON string literal, control characters escaped.
std::string jsonString(const std::string& text) {
    std::string out = "\"";
    for (char ch : validUtf8(text)) {
        auto c = static_cast<unsigned char>(ch);
        if (c == '"' || c == '\\') out += '\\';
        if (c < 0x20 || c == 0x7F) appendf(&out, "\\u%04x", c);
        else out += ch;
    }
    return out + "\"";
}

// A CSV field: quoted, with its quotes doubled, when it holds a separator, a quote or a line break.
std::string csvField(const std::string& raw) {
    std::string text = validUtf8(raw);
    if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
    std::string out = "\"";
    for (char c : text) out += c == '"' ? std::string("\"\"") : std::string(1, c);
    return out + "\"";
}

// ISO 8601 in UTC with milliseconds.
std::string isoTime(int64_t ms) {
    time_t seconds = static_cast<time_t>(ms / 1000);
    struct tm utc {};
    char text[40] = "";
    if (gmtime_r(&seconds, &utc)) strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
    std::string out = text;
    appendf(&out, ".%03dZ", static_cast<int>(ms % 1000));
    return out;
}

// An image name geo.txt can hold: UTF-8 without blanks or control characters, since its fields
// are separated by blanks, one image per line.
bool plainName(const std::string& name) {
    if (name.empty() || validUtf8(name) != name) return false;
    for (unsigned char c : name)
        if (c <= 0x20 || c == 0x7F) return false;
    return true;
}

// Writes text to path through path.tmp, synced before the rename.
bool writeWhole(const std::string& path, const std::string& text) {
    std::string tmp = path + ".tmp";
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    bool ok = writeAll(fd, text.data(), text.size()) && fsync(fd) == 0;
    ok = close(fd) == 0 && ok;
    if (ok && std::rename(tmp.c_str(), path.c_str()) == 0) return true;
    std::remove(tmp.c_str());
    return false;
}

// Writes the three texts into dir (created when missing); false (logged) on the first failure.
bool writeFolder(const std::string& dir, const std::string (&texts)[3]) {
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    for (int i = 0; i < 3; ++i) {
        std::string path = dir + "/" + flightFileNames[i];
        if (!writeWhole(path, texts[i])) {
            logPrintf("vorn-camera exportFlight failed to write %s: %s\n", path.c_str(), std::strerror(errno));
            return false;
        }
    }
    return true;
}

// The rows of a CSV text as shotsCsv writes it: a field in quotes may hold commas, "" and line
// breaks; a row ends at a line break outside quotes.
std::vector<std::vector<std::string>> csvRows(const std::string& text) {
    std::vector<std::vector<std::string>> rows;
    std::vector<std::string> row(1);
    bool quoted = false;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (quoted && c == '"' && i + 1 < text.size() && text[i + 1] == '"') row.back() += text[++i];
        else if (c == '"') quoted = !quoted;
        else if (quoted) row.back() += c;
        else if (c == ',') row.emplace_back();
        else if (c == '\n') rows.push_back(std::exchange(row, std::vector<std::string>(1)));
        else if (c != '\r') row.back() += c;
    }
    return rows;
}

// A shot as a row of shots.csv gives it back: the values are written exactly (degrees to 1e-7,
// metres to the millimetre, angles to the hundredth, times to the millisecond).
bool parsedShot(const std::vector<std::string>& f, ExportedShot* shot) {
    if (f.size() < 9) return false;
    shot->image = f[0];
    shot->tagged = f[8] == "true";
    shot->hasPosition = !f[1].empty();
    if (!shot->hasPosition) return true;
    struct tm utc {};
    int ms = 0;
    if (std::sscanf(f[1].c_str(), "%d-%d-%dT%d:%d:%d.%dZ", &utc.tm_year, &utc.tm_mon, &utc.tm_mday, &utc.tm_hour,
                    &utc.tm_min, &utc.tm_sec, &ms) != 7)
        return false;
    utc.tm_year -= 1900, utc.tm_mon -= 1;
    shot->geo.time = static_cast<int64_t>(timegm(&utc)) * 1000 + ms;
    auto scaled = [&](size_t i, double by) { return static_cast<int32_t>(std::llround(std::strtod(f[i].c_str(), nullptr) * by)); };
    shot->geo.lat = scaled(2, 1e7), shot->geo.lon = scaled(3, 1e7), shot->geo.alt = scaled(4, 1000);
    shot->geo.yaw = scaled(5, 100), shot->geo.pitch = scaled(6, 100), shot->geo.roll = scaled(7, 100);
    return true;
}

} // namespace

std::string flightFolder(int flightNumber) {
    return "flights/" + std::to_string(flightNumber);
}

std::vector<ExportedShot> exportedShots(int flightNumber) {
    std::ifstream in(flightFolder(flightNumber) + "/shots.csv", std::ios::binary);
    std::vector<std::vector<std::string>> rows = csvRows({std::istreambuf_iterator<char>(in), {}});
    std::vector<ExportedShot> shots;
    for (size_t i = 1; i < rows.size(); ++i) { // after the header
        ExportedShot shot{};
        if (parsedShot(rows[i], &shot)) shots.push_back(std::move(shot));
        else logPrintf("vorn-camera exportFlight flights/%d/shots.csv: row %zu left out\n", flightNumber, i);
    }
    return shots;
}

CardTarget cardAt(const std::string& root) {
    struct stat info;
    return {root, !root.empty() && stat(root.c_str(), &info) == 0 ? info.st_dev : 0};
}

std::string shotsGeoJson(const ExportedFlight& flight, const std::vector<ExportedShot>& shots) {
    std::string out = "{\"type\":\"FeatureCollection\",\"properties\":{";
    appendf(&out, "\"flight\":%d,\"missionID\":%s,\"camType\":%d},\"features\":[", flight.flightNumber,
            jsonString(flight.missionID).c_str(), flight.camType);
    for (size_t i = 0; i < shots.size(); ++i) {
        const ExportedShot& s = shots[i];
        out += i ? ",\n" : "\n";
        out += "{\"type\":\"Feature\",\"geometry\":";
        if (s.hasPosition)
            appendf(&out, "{\"type\":\"Point\",\"coordinates\":[%.7f,%.7f,%.3f]}", s.geo.lon / 1e7, s.geo.lat / 1e7,
                    s.geo.alt / 1000.0);
        else
            out += "null";
        out += ",\"properties\":{\"image\":" + jsonString(s.image);
        if (s.hasPosition)
            appendf(&out, ",\"time\":\"%s\",\"yaw\":%.2f,\"pitch\":%.2f,\"roll\":%.2f", isoTime(s.geo.time).c_str(),
                    s.geo.yaw / 100.0, s.geo.pitch / 100.0, s.geo.roll / 100.0);
        out += s.tagged ? ",\"tagged\":true}}" : ",\"tagged\":false}}";
    }
    return out + "\n]}\n";
}

std::string shotsCsv(const ExportedFlight& flight, const std::vector<ExportedShot>& shots) {
    std::string out = "image,time,latitude,longitude,altitude,yaw,pitch,roll,tagged,flight,missionID,camType\r\n";
    std::string flightColumns = "," + std::to_string(flight.flightNumber) + "," + csvField(flight.missionID) + "," +
                                std::to_string(flight.camType) + "\r\n";
    for (const ExportedShot& s : shots) {
        out += csvField(s.image) + ",";
        if (s.hasPosition)
            appendf(&out, "%s,%.7f,%.7f,%.3f,%.2f,%.2f,%.2f", isoTime(s.geo.time).c_str(), s.geo.lat / 1e7,
                    s.geo.lon / 1e7, s.geo.alt / 1000.0, s.geo.yaw / 100.0, s.geo.pitch / 100.0, s.geo.roll / 100.0);
        else
            out += ",,,,,,";
        out += s.tagged ? ",true" : ",false";
        out += flightColumns;
    }
    return out;
}

std::string odmGeoTxt(const std::vector<ExportedShot>& shots) {
    std::string out = "EPSG:4326\n";
    for (const ExportedShot& s : shots) {
        if (!s.tagged || !s.hasPosition) continue;
        if (!plainName(s.image)) {
            logPrintf("vorn-camera exportFlight geo.txt leaves out %s: not a plain name\n",
                      jsonString(s.image).c_str());
            continue;
        }
        appendf(&out, "%s %.7f %.7f %.3f\n", s.image.c_str(), s.geo.lon / 1e7, s.geo.lat / 1e7, s.geo.alt / 1000.0);
    }
    return out;
}

bool exportFlight(const ExportedFlight& flight, const std::vector<ExportedShot>& shots, const CardTarget& card) {
    const std::string texts[3] = {shotsGeoJson(flight, shots), shotsCsv(flight, shots), odmGeoTxt(shots)};
    std::string dir = flightFolder(flight.flightNumber);
    if (!writeFolder(dir, texts)) return false;
    logPrintf("vorn-camera exportFlight wrote %zu shots to %s\n", shots.size(), dir.c_str());
    if (card.root.empty()) return true;
    if (cardAt(card.root).device != card.device || card.device == 0) {
        logPrintf("vorn-camera exportFlight the card is gone from %s: %s not copied to it\n", card.root.c_str(),
                  dir.c_str());
    } else {
        std::string onCard = card.root + "/vorn/flight-" + std::to_string(flight.flightNumber);
        if (writeFolder(onCard, texts))
            logPrintf("vorn-camera exportFlight copied %s to %s\n", dir.c_str(), onCard.c_str());
    }
    return true;
}
