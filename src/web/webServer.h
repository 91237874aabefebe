// The field page: a small HTTP server on a thread of its own, for the crew's phone or laptop on the
// aircraft's hotspot. It serves the page built into the daemon and the JSON and files behind it
// (GET and HEAD only), reads the database through a read-only connection of its own, and never
// writes a file, runs a command or touches the camera, the serial lines or another thread's
// database connection. It runs at a lower priority than the rest of the daemon, and bounds the
// connections, the size of a request and the time a client may take to send one.
#pragma once

#include "core/AppContext.h"

// Serves ctx->webAddress ("ADDR:PORT", IPv4; "off": no page) until the daemon stops.
void webServerThread(AppContext* ctx);
