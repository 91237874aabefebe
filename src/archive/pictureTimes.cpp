#include "archive/pictureTimes.h"

#include <exiv2/exiv2.hpp>
#include <time.h>

#include <algorithm>
#include <cstdio>

#include "archive/geotagDb.h"
#include "core/logging.h"
#include "core/userMessage.h"

namespace {

// A picture's times as recorded: its own (exifMs 0 when none, with its step) and its file's.
struct Recorded {
    int64_t exifMs = 0, exifStepMs = 0, mtime = 0;
};

std::optional<Recorded> lookUp(WriteTransaction& tx, sqlite3_stmt* select, const std::string& path) {
    sqlite3_bind_text(select, 1, path.c_str(), -1, SQLITE_TRANSIENT);
    int rc = sqlite3_step(select);
    std::optional<Recorded> found;
    if (rc == SQLITE_ROW)
        found = Recorded{sqlite3_column_int64(select, 0), sqlite3_column_int64(select, 1),
                         sqlite3_column_int64(select, 2)};
    else if (rc != SQLITE_DONE)
        tx.fail(rc);
    sqlite3_reset(select);
    return found;
}

bool record(WriteTransaction& tx, sqlite3_stmt* insert, const FileRecord& file, const Recorded& times) {
    sqlite3_bind_text(insert, 1, file.path.c_str(), -1, SQLITE_TRANSIENT);
    if (times.exifMs != 0) sqlite3_bind_int64(insert, 2, times.exifMs), sqlite3_bind_int64(insert, 3, times.exifStepMs);
    else sqlite3_bind_null(insert, 2), sqlite3_bind_null(insert, 3);
    sqlite3_bind_int64(insert, 4, times.mtime);
    return tx.step(insert, "pictureTime(" + file.path + ")");
}

// The times of one file: as recorded, or read now and recorded.
std::optional<Recorded> timesOf(WriteTransaction& tx, sqlite3_stmt* select, sqlite3_stmt* insert,
                                const FileRecord& file) {
    if (std::optional<Recorded> known = lookUp(tx, select, file.path)) return known;
    Recorded times;
    times.mtime = file.mtime;
    if (auto exif = exifTakenMs(file.path)) times.exifMs = exif->first, times.exifStepMs = exif->second;
    if (!record(tx, insert, file, times)) return std::nullopt;
    return times;
}

} // namespace

std::optional<std::pair<int64_t, int64_t>> exifTakenMs(const std::string& path) {
    try {
        Exiv2::Image::AutoPtr image = Exiv2::ImageFactory::open(path);
        image->readMetadata();
        const Exiv2::ExifData& exif = image->exifData();
        auto taken = exif.findKey(Exiv2::ExifKey("Exif.Photo.DateTimeOriginal"));
        struct tm t {};
        if (taken == exif.end() || std::sscanf(taken->toString().c_str(), "%d:%d:%d %d:%d:%d", &t.tm_year, &t.tm_mon,
                                               &t.tm_mday, &t.tm_hour, &t.tm_min, &t.tm_sec) != 6)
            return std::nullopt;
        t.tm_year -= 1900, t.tm_mon -= 1;
        int64_t ms = static_cast<int64_t>(timegm(&t)) * 1000, stepMs = 1000;
        auto sub = exif.findKey(Exiv2::ExifKey("Exif.Photo.SubSecTimeOriginal"));
        std::string digits = sub == exif.end() ? "" : sub->toString();
        digits.erase(std::find_if(digits.begin(), digits.end(), [](char c) { return c < '0' || c > '9'; }), digits.end());
        for (size_t k = 0; k < digits.size() && k < 3; ++k) stepMs /= 10, ms += (digits[k] - '0') * stepMs;
        return std::make_pair(ms, stepMs);
    } catch (const std::exception& e) {
        logPrintf("vorn-camera pictureTimes %s: %s\n", path.c_str(), e.what());
        return std::nullopt;
    }
}

std::optional<PictureTimes> recordedPictureTimes(sqlite3* db, const FileList& files) {
    WriteTransaction tx(db, "pictureTimes");
    Stmt select = tx.prepare(sql::selectPictureTime), insert = tx.prepare(sql::insertPictureTime);
    std::vector<Recorded> all;
    for (const FileRecord& file : files) {
        std::optional<Recorded> times = select && insert ? timesOf(tx, select.get(), insert.get(), file) : std::nullopt;
        if (!times) break;
        all.push_back(*times);
    }
    select = {}, insert = {};
    if (all.size() != files.size() || !tx.commit()) {
        warnGround(GroundWarning::PassRolledBack, "tagging pass rolled back: %s", tx.why());
        return std::nullopt;
    }

    PictureTimes out{{}, 0, std::all_of(all.begin(), all.end(), [](const Recorded& r) { return r.exifMs != 0; })};
    bool evenSeconds = true;
    for (const Recorded& r : all) {
        out.ms.push_back(out.fromExif ? r.exifMs : r.mtime * 1000);
        out.resolutionMs = std::max(out.resolutionMs, out.fromExif ? r.exifStepMs : 1000);
        evenSeconds = evenSeconds && r.mtime % 2 == 0;
    }
    if (!out.fromExif && evenSeconds) out.resolutionMs = 2000; // FAT cards keep file times in steps of two seconds
    return out;
}
