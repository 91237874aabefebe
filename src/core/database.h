#pragma once

#include <string>

struct sqlite3;

// Opens (creating it if needed) the geotag database with a write-ahead log, or returns null
// after logging why.
sqlite3* openGeotagDatabase(const char* dbFile);

// Run before anything copies or opens the database; returns the file to open. A damaged file
// (one that fails SQLite's quick check, cannot be opened, or is not a file) is kept aside as
// dbFile.damaged-<unix time> with its journal, and replaced by the backup dbFile.bak when that
// one passes the check, else left for a new empty database. A damaged file that cannot be moved
// aside stays as it is, and so does the backup: the daemon then works on dbFile.new. A file
// another program holds locked is waited for, and never taken for damaged. Logs what was done
// and warns the ground.
std::string setAsideDamagedDatabase(const char* dbFile);

// Copies the open database to path through path.tmp with SQLite's online backup: the copy is
// checked and flushed before it is renamed over the previous one, so path always holds a
// complete database; a copy that cannot be completed leaves the previous one as it was. Logs the
// outcome; failure receives why not.
bool copyDatabase(sqlite3* from, const std::string& path, std::string* failure = nullptr);

// The same from the database file at from (read-only).
bool copyDatabaseFile(const std::string& from, const std::string& path, std::string* failure = nullptr);

// The backup taken at every start: dbFile to dbFile.bak when dbFile exists; a backup that cannot
// be written is logged and warned to the ground, and the previous one stays.
void backupDatabase(const char* dbFile);
