// Texts for the ground station: USER_MESSAGE in the companion protocol, and the warnings the crew
// must act on, sent both as USER_MESSAGE and as STATUSTEXT so that any ground station shows them.
#pragma once

#include <cstdint>

// Sends a USER_MESSAGE with the formatted text (at most 95 bytes of it) to fd. A null format
// means "%s" with the first argument. May be called from any thread.
void send_user_message(int fd, uint8_t level, const char* fmt, ...);

// What went wrong; the same text of a kind reaches the ground at most once a minute.
enum class GroundWarning {
    PassIncomplete,   // a tagging pass tagged fewer images than it paired
    PairedByTime,     // shots and new images differed in number or times: what pairing by time found
    ShotsUntagged,    // shots moved to table untagged
    DatabaseDamaged,  // geodata.db set aside at start
    ShotNotStored,    // a shot row could not be written
    PassRolledBack,   // a tagging pass's archive rows were rolled back
    CardFull,         // images left untagged for want of room on the card
    BackupFailed,     // the start-up copy geodata.db.bak could not be written
    ShotsUnreadable,  // the flight's shots could not be read from table image
    PreflightNotRecorded, // a preflight's flight and card files could not be recorded
    NoNewImages,      // a flight's shots found no new image on the card
    UnknownCamera,    // a preflight named a camera type the daemon does not know
    LogNotKept,       // the flight controller's log cannot be written
    Count
};

// USER_MESSAGE level of a warning.
inline constexpr uint8_t warningLevel = 1;
// STATUSTEXT severity of a warning (MAV_SEVERITY_WARNING).
inline constexpr uint8_t warningSeverity = 4;

// Where warnings go (the write end of fcPipe); -1, the default, logs them only.
void setGroundWarningPipe(int fd);

// Logs the formatted warning and sends it to the ground, unless the same text of the same kind
// was sent less than a minute ago. Before the ground station has been heard the warning is held:
// it goes out when the ground is first heard, and once more at the next preflight. May be called
// from any thread.
void warnGround(GroundWarning kind, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

// A message from the ground station arrived (preflight: it was a preflight). Sends the warnings
// held until now.
void groundHeard(bool preflight);

// Forgets which texts were sent and what is held, and takes the ground as heard (tests).
void resetGroundWarnings();
