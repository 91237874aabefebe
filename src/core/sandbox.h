// The daemon's seams for running outside an aircraft. Read once at start-up (sandboxInit);
// tests may call sandboxInit again after changing the environment.
#pragma once

#include <string>

// Reads VORN_ROOT and VORN_SENTERA_ADDR from the environment.
void sandboxInit();

// True when VORN_ROOT is set: fixed paths live below it and the clock is never changed.
bool sandboxActive();

// A fixed absolute path of the daemon ("/dev/sda1", "/media/usbdrive", ...) as it is used:
// below VORN_ROOT when that is set, else unchanged.
std::string sandboxPath(const std::string& path);

// The Sentera camera's host and HTTP port (VORN_SENTERA_ADDR=HOST[:PORT] or the build default).
const std::string& senteraHost();
int senteraPort();
