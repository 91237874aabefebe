# Cross-building on Debian with its cross toolchains and multiarch libraries: the compilers are
# <triplet>-gcc/g++, the target's libraries and .pc files sit in /usr/lib/<triplet>, and the
# target's programs (tests, test discovery) run under qemu-user-static. Included by the
# per-architecture files, which set VORN_CROSS_TRIPLET, CMAKE_SYSTEM_PROCESSOR and VORN_QEMU.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${VORN_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${VORN_CROSS_TRIPLET}-g++)
# Libraries and package configs are looked up in /usr/lib/<triplet> only, never the build machine's.
set(CMAKE_LIBRARY_ARCHITECTURE ${VORN_CROSS_TRIPLET})
set(PKG_CONFIG_EXECUTABLE /usr/bin/${VORN_CROSS_TRIPLET}-pkg-config CACHE FILEPATH "pkg-config for the target")

# The target's loader and libraries come from the multiarch packages (libc6:<arch> and the
# libraries of the -dev packages) in the build machine's own /lib/<triplet>, so qemu needs no
# -L sysroot. Packages can be built without qemu; the tests cannot run then.
find_program(VORN_QEMU_PATH ${VORN_QEMU})
if(VORN_QEMU_PATH)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${VORN_QEMU_PATH})
endif()
