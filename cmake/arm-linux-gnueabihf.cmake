# SPDX-License-Identifier: Apache-2.0
# Cross build for 32-bit ARM (armhf) with Debian's cross compiler
# (g++-arm-linux-gnueabihf). time_t and file offsets are 64 bits wide, so
# the daemon's clocks and files work past 2038 and beyond 2 GiB: glibc
# switches both with these two definitions.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)

set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
# pkg-config finds the target's libraries (libmicrohttpd-dev:armhf,
# libmosquitto-dev:armhf).
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/arm-linux-gnueabihf/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_SYSROOT_DIR} /)
set(CMAKE_CXX_FLAGS_INIT "-D_TIME_BITS=64 -D_FILE_OFFSET_BITS=64")

if(EXISTS /lib/ld-linux-armhf.so.3)
  set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm)
else()
  set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -L /usr/arm-linux-gnueabihf)
endif()
