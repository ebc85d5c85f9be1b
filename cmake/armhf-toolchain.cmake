# Cross build for the site unit: 32-bit ARM, hard float (Debian armhf).
# The sysroot holds the armhf development packages; scripts/cross.sh makes it
# with mmdebstrap. Tests run under qemu-arm with the sysroot's libraries.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)

if(NOT DORVANE_SYSROOT)
  set(DORVANE_SYSROOT "$ENV{DORVANE_SYSROOT}")
endif()
if(NOT DORVANE_SYSROOT)
  message(FATAL_ERROR "Set DORVANE_SYSROOT to the armhf sysroot (see scripts/cross.sh)")
endif()
set(DORVANE_SYSROOT "${DORVANE_SYSROOT}" CACHE PATH "armhf sysroot")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES DORVANE_SYSROOT)
set(CMAKE_SYSROOT "${DORVANE_SYSROOT}")
set(CMAKE_FIND_ROOT_PATH "${DORVANE_SYSROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)

set(ENV{PKG_CONFIG_SYSROOT_DIR} "${DORVANE_SYSROOT}")
set(ENV{PKG_CONFIG_LIBDIR}
    "${DORVANE_SYSROOT}/usr/lib/arm-linux-gnueabihf/pkgconfig:${DORVANE_SYSROOT}/usr/share/pkgconfig")

set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -L "${DORVANE_SYSROOT}")
