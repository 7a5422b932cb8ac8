# Cross build for 64-bit ARM with Debian's cross compiler
# (g++-aarch64-linux-gnu). Target libraries come from Debian's multiarch
# packages (dpkg --add-architecture arm64; libgtest-dev:arm64), which live in
# /usr/lib/aarch64-linux-gnu beside the host's. Programs and tests run under
# user-mode QEMU (qemu-user), with the cross C and C++ libraries as the
# target's root.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)

set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L /usr/aarch64-linux-gnu)
