// Framing on the pipes between threads: two length bytes (most significant first), then the
// payload. Every operation returns 1 on success and 0 on failure and never prints.
#pragma once

#include <cstddef>
#include <cstdint>

#include "mavlink/mavlink_types.h"

// Writes one frame with a single write, so frames of several writers never interleave.
int pipeWrite(int fd, uint16_t len, const void* buf);

// Reads one frame into buf. A frame longer than bufSize is consumed and discarded so the
// stream stays in step, and the read fails.
int pipeRead(int fd, void* buf, size_t bufSize);

// Frames a MAVLink record prefix (12 + len bytes).
int msgWrite(int fd, const mavlink_message_t* msg);

// Reads a record prefix; the caller zero-fills the record first so trimmed payload bytes read 0.
int msgRead(int fd, mavlink_message_t* msg);
