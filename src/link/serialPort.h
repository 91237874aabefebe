// Serial port helpers of the serial link: raw-mode configuration and whole-buffer writes.
#pragma once

#include <cstddef>

// Puts an open port into raw 8-bit mode at the given speed. Returns 0 on success, otherwise
// the error number (never 0). Supported speeds: 1200, 1800, 9600, 19200, 38400, 57600,
// 115200 and 1500000.
int serialPortConfig(int fd, int baud);

// Writes len bytes, continuing after partial writes. A failed write is retried once after
// 1 s; a second failure abandons the rest with a log line naming the port ("fc", "modem").
void sendBuf(int fd, size_t len, const void* buf, const char* name);
