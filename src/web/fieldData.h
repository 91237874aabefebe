// What the field page shows, as JSON: the daemon's live status, the flights (read from the
// database through the web server's own read-only connection, and from each flight's files), one
// flight's shots with the reasons the untagged ones were left, and the dataflash logs. Also the
// files a download may name: only those listed here, never a path from a request.
#pragma once

#include <sqlite3.h>

#include <optional>
#include <string>

std::string statusJson();

// Newest flight first; none when the database cannot be read.
std::optional<std::string> flightsJson(sqlite3* db);

// None when the flight is not listed or the database cannot be read.
std::optional<std::string> flightJson(sqlite3* db, int flightNumber);

std::string logsJson();

// The path of the flight's file named name (one of flightFileNames) when the flight is listed and
// the file is a regular file.
std::optional<std::string> flightFilePath(sqlite3* db, int flightNumber, const std::string& name);

// The path of the log named name when the log directory lists it as a regular file.
std::optional<std::string> logFilePath(const std::string& name);
