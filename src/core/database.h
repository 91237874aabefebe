#pragma once

struct sqlite3;

// Opens (creating it if needed) the geotag database, or returns null after logging why.
sqlite3* openGeotagDatabase(const char* dbFile);
