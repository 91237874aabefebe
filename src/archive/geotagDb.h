// The geotag database (geodata.db): every statement the daemon runs against it, and the few
// helpers that more than one archiving path shares.
#pragma once

#include <sqlite3.h>

#include <memory>

#include "core/AppContext.h"

namespace sql {

// Schema, created by the camera thread in this order.
inline constexpr const char* createImage =
    "CREATE TABLE IF NOT EXISTS image (id INTEGER PRIMARY KEY, time INTEGER, lat INTEGER, lon INTEGER, "
    "pitch INTEGER, roll INTEGER, yaw INTEGER, heading INTEGER, alt INTEGER, size INTEGER, path TEXT COLLATE NOCASE)";
inline constexpr const char* createOldfiles =
    "CREATE TABLE IF NOT EXISTS oldfiles (id INTEGER PRIMARY KEY, path TEXT COLLATE NOCASE, size INTEGER, "
    "flightID INTEGER, UNIQUE(path))";
inline constexpr const char* createFlights =
    "CREATE TABLE IF NOT EXISTS flights (id INTEGER PRIMARY KEY, flightID INTEGER, missionID TEXT COLLATE NOCASE, "
    "camType INTEGER, time INTEGER, UNIQUE(flightID))";
inline constexpr const char* createUnknownFiles =
    "CREATE TABLE IF NOT EXISTS unknownFiles (id INTEGER PRIMARY KEY, path TEXT COLLATE NOCASE, UNIQUE(path))";

// Table image: the shots of the flight in progress.
inline constexpr const char* insertImage =
    "INSERT INTO image (time, lat, lon, pitch, roll, yaw, heading, alt, size, path) VALUES(?,?,?,?,?,?,?,?,?,?)";
// Shots whose file is archived are done, even while their rows wait to be removed.
inline constexpr const char* selectImages =
    "SELECT id, time, lat, lon, pitch, roll, yaw, heading, alt, size, path FROM image "
    "WHERE NOT EXISTS (SELECT 1 FROM oldfiles WHERE oldfiles.path = image.path) ORDER BY id";
inline constexpr const char* selectImagePaths = "SELECT path, size FROM image";
inline constexpr const char* deleteImages = "DELETE FROM image";
// A shot is done once the file it was archived with is in oldfiles; until then it stays.
inline constexpr const char* recordArchivedShot = "UPDATE image SET path = ?, size = ? WHERE id = ?";
inline constexpr const char* deleteArchivedShots = "DELETE FROM image WHERE path IN (SELECT path FROM oldfiles)";
inline constexpr const char* dropImage = "DROP TABLE IF EXISTS image";
inline constexpr const char* renameOrigImage = "ALTER TABLE origImage RENAME TO image";

// Table oldfiles: every archived file. Path lookups bind the path, so any file name is safe.
inline constexpr const char* selectOldFile = "SELECT path FROM oldfiles WHERE path = ? COLLATE NOCASE";
inline constexpr const char* maxFlightId = "SELECT MAX(flightID) FROM oldfiles";
inline constexpr const char* insertOldFile = "INSERT INTO oldfiles (path, size, flightID) VALUES(?,?,?)";
inline constexpr const char* insertTaggedFile = "INSERT INTO oldfiles (size, path, flightID) VALUES(?,?,?)";

// Table flights: one row per flight number.
inline constexpr const char* insertFlight =
    "INSERT OR REPLACE INTO flights (flightID, missionID, camType, time) VALUES(?,?,?,?)";
inline constexpr const char* selectFlightCamType = "SELECT camType FROM flights WHERE flightID = ?";

// Table untagged: shots whose image could not be tagged, kept so their positions are not lost.
inline constexpr const char* createUntagged =
    "CREATE TABLE IF NOT EXISTS untagged (id INTEGER PRIMARY KEY, shotID INTEGER, time INTEGER, lat INTEGER, "
    "lon INTEGER, pitch INTEGER, roll INTEGER, yaw INTEGER, heading INTEGER, alt INTEGER, flightID INTEGER, "
    "path TEXT, reason TEXT, movedAt INTEGER)";
inline constexpr const char* moveShotToUntagged =
    "INSERT INTO untagged (shotID, time, lat, lon, pitch, roll, yaw, heading, alt, flightID, path, reason, movedAt) "
    "SELECT id, time, lat, lon, pitch, roll, yaw, heading, alt, ?, ?, ?, ? FROM image WHERE id = ?";

// Table unknownFiles: files found on a card before the flight.
inline constexpr const char* deleteUnknownFiles = "DELETE FROM unknownFiles";
inline constexpr const char* insertUnknownFile = "INSERT INTO unknownFiles (path) VALUES(?)";
inline constexpr const char* selectUnknownFile = "SELECT path FROM unknownFiles WHERE path = ? COLLATE NOCASE";
inline constexpr const char* beginTransaction = "BEGIN TRANSACTION";
inline constexpr const char* endTransaction = "END TRANSACTION";
inline constexpr const char* rollbackTransaction = "ROLLBACK";

} // namespace sql

// Copy of the database taken after every tagging pass (relative to the working directory).
inline constexpr const char* geodoneFile = "geodone.db";

struct StmtFinalizer {
    void operator()(sqlite3_stmt* stmt) const { sqlite3_finalize(stmt); }
};
using Stmt = std::unique_ptr<sqlite3_stmt, StmtFinalizer>;

// Prepares a statement; rc receives SQLite's result code. Empty on failure.
Stmt prepareStmt(sqlite3* db, const char* text, int* rc);

// The flight number of a flight being archived: one more than the largest flightID in oldfiles,
// 1 for an empty table or when the query fails (logged as the archiving does).
int nextFlightNumber(sqlite3* db);

// Removes from table image the shots whose file is archived in oldfiles; false (logged) when it
// fails. Shots whose image failed or vanished stay for the next pass.
bool removeArchivedShots(sqlite3* db);

// Writes (or replaces) the flights row of the flight from the context's flight fields. A failed
// step is logged with failedItem; returns 1 when the row was written, else 0.
int writeFlightRow(CameraContext* cam, int flightNumber, const char* failedItem);
