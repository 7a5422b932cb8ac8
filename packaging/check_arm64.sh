#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Proves the 64-bit ARM build: cross-compiles the tree with the arm64 preset
# (g++-aarch64-linux-gnu, benchmarks left out), runs every test under
# qemu-aarch64 (the unit tests and the end-to-end tests, which start the ARM
# daemon, generator and client under the emulator too), then packs the
# arm64 .deb and checks that it holds ARM programs and says arm64.
#
#   packaging/check_arm64.sh       (needs: dpkg --add-architecture arm64;
#                                   g++-aarch64-linux-gnu qemu-user
#                                   libgtest-dev:arm64 libstdc++6:arm64)
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --preset arm64 >/dev/null
cmake --build --preset arm64
start=$(date +%s)
ctest --preset arm64
echo "arm64 tests under qemu-aarch64: $(($(date +%s) - start)) s"

cd build/arm64
rm -f ./*.deb
cpack >/dev/null
deb=$(ls ./*_arm64.deb)
[ "$(dpkg-deb -f "$deb" Architecture)" = arm64 ] || { echo "FAILED: $deb is not arm64"; exit 1; }
# e_machine of the ELF header, bytes 18-19: 183 (0xb7) is aarch64.
rm -rf unpacked && dpkg-deb -x "$deb" unpacked
machine=$(od -An -tu2 -j18 -N2 unpacked/usr/bin/morvix)
[ "$machine" -eq 183 ] || { echo "FAILED: morvix in $deb is not an aarch64 program"; exit 1; }
echo "packed $deb ($(dpkg-deb -f "$deb" Depends))"
