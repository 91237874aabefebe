// The geotag database (geodata.db): every statement the daemon runs against it, and the few
// helpers that more than one archiving path shares.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

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
// Shots whose file is archived are done, even while their rows wait to be removed. A shot that a
// committed pass paired comes with that file.
inline constexpr const char* selectImages =
    "SELECT image.id, image.time, lat, lon, pitch, roll, yaw, heading, alt, size, "
    "COALESCE(NULLIF(image.path, ''), pairing.path), unpaired.reason FROM image "
    "LEFT JOIN pairing ON pairing.shotID = image.id AND pairing.time = image.time "
    "LEFT JOIN unpaired ON unpaired.shotID = image.id AND unpaired.time = image.time "
    "WHERE NOT EXISTS (SELECT 1 FROM oldfiles WHERE oldfiles.path = image.path) ORDER BY image.id";
inline constexpr const char* selectImagePaths = "SELECT path, size FROM image";
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
// A shot archived by a committed pass is never moved, even while its row waits to be removed.
inline constexpr const char* moveShotToUntagged =
    "INSERT INTO untagged (shotID, time, lat, lon, pitch, roll, yaw, heading, alt, flightID, path, reason, movedAt) "
    "SELECT id, time, lat, lon, pitch, roll, yaw, heading, alt, ?, ?, ?, ? FROM image WHERE id = ? "
    "AND NOT EXISTS (SELECT 1 FROM oldfiles WHERE oldfiles.path = image.path)";
inline constexpr const char* deleteShot = "DELETE FROM image WHERE id = ?";

// Table pictureTime: the camera's own time of each picture, as it was before its first tagging
// (exifMs NULL: the picture carries none) and the file's modification time in seconds.
inline constexpr const char* createPictureTime =
    "CREATE TABLE IF NOT EXISTS pictureTime (path TEXT PRIMARY KEY COLLATE NOCASE, exifMs INTEGER, "
    "exifStepMs INTEGER, mtime INTEGER)";
inline constexpr const char* selectPictureTime = "SELECT exifMs, exifStepMs, mtime FROM pictureTime WHERE path = ?";
inline constexpr const char* insertPictureTime =
    "INSERT OR IGNORE INTO pictureTime (path, exifMs, exifStepMs, mtime) VALUES(?,?,?,?)";

// Table unpaired: why a pass paired a waiting shot with no picture ("no picture for this shot",
// "ambiguous pairing"); the reason it takes to table untagged.
inline constexpr const char* createUnpaired =
    "CREATE TABLE IF NOT EXISTS unpaired (shotID INTEGER PRIMARY KEY, time INTEGER, reason TEXT)";
inline constexpr const char* recordUnpaired = "INSERT OR REPLACE INTO unpaired (shotID, time, reason) VALUES(?,?,?)";
inline constexpr const char* clearStaleUnpaired =
    "DELETE FROM unpaired WHERE NOT EXISTS (SELECT 1 FROM image WHERE image.id = unpaired.shotID AND "
    "image.time = unpaired.time)";

// Table pairing: the file a pass paired each waiting shot with, so that a later pass gives it the
// same file (a shot is known by its id and time: ids are used again once their rows are gone).
inline constexpr const char* createPairing =
    "CREATE TABLE IF NOT EXISTS pairing (shotID INTEGER PRIMARY KEY, time INTEGER, path TEXT)";
inline constexpr const char* recordPairing = "INSERT OR REPLACE INTO pairing (shotID, time, path) VALUES(?,?,?)";
inline constexpr const char* clearStalePairings =
    "DELETE FROM pairing WHERE NOT EXISTS (SELECT 1 FROM image WHERE image.id = pairing.shotID AND "
    "image.time = pairing.time)";

// Table pendingFlight: the flights whose shots table image may hold, one row each, kept from their
// preflight: the id the flight's first shot takes (its shots run up to the next flight's first),
// who it is, and the number its first committed pass gave it.
inline constexpr const char* createPendingFlight =
    "CREATE TABLE IF NOT EXISTS pendingFlight (id INTEGER PRIMARY KEY, firstShot INTEGER, missionID TEXT, "
    "camType INTEGER, time INTEGER, flightID INTEGER)";
inline constexpr const char* insertPendingFlight =
    "INSERT INTO pendingFlight (firstShot, missionID, camType, time, flightID) VALUES(COALESCE(?, "
    "(SELECT IFNULL(MAX(id), 0) + 1 FROM image)),?,?,?,?)";
inline constexpr const char* selectPendingFlights =
    "SELECT id, firstShot, missionID, camType, time, flightID FROM pendingFlight ORDER BY firstShot, id";
inline constexpr const char* numberPendingFlight = "UPDATE pendingFlight SET flightID = ? WHERE id = ?";
// Once table image is empty every flight is done: a later flight without a preflight is the context's.
inline constexpr const char* clearFinishedFlights = "DELETE FROM pendingFlight WHERE NOT EXISTS (SELECT 1 FROM image)";

// Table unknownFiles: files found on a card before the flight.
inline constexpr const char* deleteUnknownFiles = "DELETE FROM unknownFiles";
inline constexpr const char* insertUnknownFile = "INSERT INTO unknownFiles (path) VALUES(?)";
inline constexpr const char* selectUnknownFile = "SELECT path FROM unknownFiles WHERE path = ? COLLATE NOCASE";
// Every write transaction takes the write lock at its start, so a reader's snapshot never makes
// one of its writes fail half way.
inline constexpr const char* beginTransaction = "BEGIN IMMEDIATE TRANSACTION";
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

// One write transaction of the camera thread. Every failure is logged with the caller's name, the
// statement and SQLite's code. A commit the database is too busy for is tried again for a while;
// a transaction that is not committed is rolled back when the object ends, and never left open.
class WriteTransaction {
public:
    WriteTransaction(sqlite3* db, const char* caller);
    ~WriteTransaction();
    WriteTransaction(const WriteTransaction&) = delete;
    WriteTransaction& operator=(const WriteTransaction&) = delete;

    sqlite3* db() const { return db_; }
    bool begun() const { return rc_ == SQLITE_OK; }
    // SQLite's code of the first failure (SQLITE_OK while none).
    int rc() const { return rc_; }
    // Why the transaction was not committed, for the crew: SQLite's text of the first failure.
    const char* why() const { return sqlite3_errstr(rc_ != SQLITE_OK ? rc_ : SQLITE_ERROR); }
    // Prepares a statement; empty (logged, remembered) when it cannot be.
    Stmt prepare(const char* statement);
    // Runs a statement without parameters; false (logged, remembered) when it fails.
    bool exec(const char* statement);
    // Steps a prepared write once and resets it; false unless done, logged as "<caller> <item>
    // failed" (item: "stmt(<statement>)" unless given) and remembered.
    bool step(sqlite3_stmt* stmt, const std::string& item = "");
    // Steps a prepared insert once and resets it: 1 when the row was added, 0 when a row with its
    // key is there already (logged with item; the transaction goes on), -1 on any other failure
    // (logged, remembered).
    int insert(sqlite3_stmt* stmt, const std::string& item = "");
    // Commits; false, rolled back, when it cannot be (or when a failure was met before).
    bool commit();
    // Remembers a failure met outside exec and step: the transaction will not be committed.
    void fail(int rc) { if (rc_ == SQLITE_OK) rc_ = rc; }

private:
    sqlite3* db_;
    const char* caller_;
    bool open_ = false; // BEGIN succeeded
    bool done_ = false;
    int rc_ = SQLITE_OK;
};

// Who a flight is: its mission id, camera type and time from the ground, and the flight number
// its first committed pass gave it (0 before); where it is recorded in pendingFlight (row 0: not
// recorded) and the id its first shot takes.
struct FlightIdentity {
    std::string missionID;
    int32_t camType = 0;
    int64_t time = 0;
    int flightNumber = 0;
    int64_t row = 0;
    int64_t firstShot = 0;
};

// The context's flight as it is now (read under its lock).
FlightIdentity contextFlight(CameraContext* cam);

// Records the flight in pendingFlight inside the caller's transaction: a recorded one is given
// its number, another one (a preflight's) is added, its first shot the next one stored (or
// firstShot when given). False when it cannot be written.
bool recordFlight(WriteTransaction& tx, const FlightIdentity& flight);

// The flights whose shots table image may hold, oldest first; the context's flight alone when
// none is recorded (logged when they cannot be read).
std::vector<FlightIdentity> pendingFlights(CameraContext* cam);

// The flight number of a flight being archived: one more than the largest flightID in oldfiles,
// 1 for an empty table; none when the query fails (logged as the archiving does).
std::optional<int> nextFlightNumber(sqlite3* db);

// Removes from table image the shots whose file is archived in oldfiles; false (logged) when it
// fails. Shots whose image failed or vanished stay for the next pass.
bool removeArchivedShots(sqlite3* db);

// Writes (or replaces) the flights row of the flight under flightNumber inside the caller's
// transaction. A failed step is logged with failedItem; returns true when the row was written.
bool writeFlightRow(WriteTransaction& tx, int flightNumber, const FlightIdentity& flight,
                    const std::string& failedItem);
