#pragma once

struct sqlite3;

// Opens (creating it if needed) the geotag database, or returns null after logging why.
sqlite3* openGeotagDatabase(const char* dbFile);

// Run before anything copies or opens the database: a damaged file (one that fails SQLite's
// quick check, cannot be opened, or is not a file) is kept aside as dbFile.damaged-<unix time>
// with its journal, and replaced by the backup dbFile.bak when that one passes the check, else
// left for a new empty database. Logs what was done and warns the ground.
void setAsideDamagedDatabase(const char* dbFile);
