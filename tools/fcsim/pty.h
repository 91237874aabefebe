// Pseudo-terminal pairs standing in for the serial lines of the flight controller and the
// telemetry modem.
#pragma once

#include <string>

struct PtyPair {
    int master = -1;
    int slave = -1;        // kept open so the master never reads EIO while the daemon reopens
    std::string slavePath;
    std::string linkPath;  // optional stable symlink to slavePath
};

// Opens a raw pty pair (and points linkPath at its slave when not empty). False with a
// message on standard error when the system has no pty to give.
bool openPty(PtyPair* pty, const std::string& linkPath);

// Closes both sides: the daemon's end reads end-of-file. The link is left dangling.
void closePty(PtyPair* pty);
