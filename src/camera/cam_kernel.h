// Driver of a Kernel camera: switched between capture and USB storage over USB HID,
// triggered by a servo pulse on output 12.
#pragma once

#include <sqlite3.h>

#include <array>
#include <cstdint>

#include "core/AppContext.h"

void initialize_kernel(CameraContext* cam, int fcFd, int sysId, int compId);
int isMounted_kernel(CameraContext* cam, int fcFd, int sysId, int compId);
int mount_kernel(CameraContext* cam, int fcFd, int sysId, int compId);
int unmount_kernel(CameraContext* cam, int fcFd, int sysId, int compId);
int trigger_kernel(CameraContext* cam, sqlite3_stmt* insertImageStmt, int fcFd, int sysId, int compId);
int preflight_kernel(CameraContext* cam, int fcFd, int sysId, int compId);
int postflight_kernel(CameraContext* cam, int fcFd, int sysId, int compId);

// Command groups and values of the camera's HID channel.
inline constexpr uint8_t kernelGroupMode = 3;
inline constexpr uint8_t kernelModeCapture = 13;
inline constexpr uint8_t kernelModeTransfer = 1;

// The HID report of one command: group, value, then zeros. Byte 0 doubles as the report number.
using KernelReport = std::array<unsigned char, 512>;
KernelReport kernel_buildReport(uint8_t group, uint8_t value);

// Sends one command to the camera, opening and closing the device around it. Returns the bytes
// written, -1 when the device could not be opened, or another negative value when the write failed.
int kernel_writeCmd(uint8_t group, uint8_t value);

// Forgets the driver's set-up, so that the next operation finds its paths again (tests move
// the sandbox root between cases; the daemon never calls this).
void kernel_reset();
