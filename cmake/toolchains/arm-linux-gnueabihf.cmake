# 32-bit ARM, hard float (Debian armhf).
set(CMAKE_SYSTEM_PROCESSOR arm)
set(VORN_CROSS_TRIPLET arm-linux-gnueabihf)
set(VORN_QEMU qemu-arm-static)
include(${CMAKE_CURRENT_LIST_DIR}/cross-debian.cmake)
