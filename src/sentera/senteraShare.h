// The Sentera camera's SD card, shared over the network and mounted at a fixed path: the session
// driver mounts it before take-off, the archive reads the session's images from it after landing.
#pragma once

// Where the camera's card share is mounted (a fixed path, resolved through sandboxPath).
inline constexpr const char* senteraMountPoint = "/media/usbdrive";

void sentera_initialize();
int isSenteraMounted();
int isMounted_sentera();
int mount_sentera();
int unmount_sentera();
