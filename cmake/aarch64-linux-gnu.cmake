# SPDX-License-Identifier: Apache-2.0
# Cross build for 64-bit ARM with Debian's cross compiler
# (g++-aarch64-linux-gnu). Target libraries come from Debian's multiarch
# packages (dpkg --add-architecture arm64; libgtest-dev:arm64), which live in
# /usr/lib/aarch64-linux-gnu beside the host's. Programs and tests run under
# user-mode QEMU (qemu-user).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)

set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
# pkg-config finds the target's libraries (libmicrohttpd-dev:arm64,
# libmosquitto-dev:arm64).
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_SYSROOT_DIR} /)

# With the multiarch C library (libc6:arm64, which libstdc++6:arm64 brings)
# QEMU finds the loader and the libraries where the host keeps them. Without
# it, the cross compiler's own copies under /usr/aarch64-linux-gnu serve as
# the target's root. Never both: the cross loader would then load the
# multiarch C library, a different build, and forked children hang.
if(EXISTS /lib/ld-linux-aarch64.so.1)
  set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64)
else()
  set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L /usr/aarch64-linux-gnu)
endif()
