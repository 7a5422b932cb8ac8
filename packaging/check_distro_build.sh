#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Proves a distribution can build and test the whole tree its own way: a
# plain `cmake -S . -B DIR` (no preset, so warnings stay warnings) with
# CMAKE_BUILD_TYPE=None and Debian's compiler and linker flags from
# dpkg-buildflags (all hardening on), then every test.
#
#   packaging/check_distro_build.sh [EXTRA_CXXFLAGS]
#   e.g. packaging/check_distro_build.sh "-O1 -fsanitize=address,undefined"
#
# Builds in build/distro (made afresh). The flags are printed first.
set -euo pipefail
cd "$(dirname "$0")/.."

dir=build/distro
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
CXXFLAGS="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS) ${1:-}"
LDFLAGS="$(dpkg-buildflags --get LDFLAGS)"
case "${1:-}" in *sanitize*) LDFLAGS="$LDFLAGS $1" ;; esac
export CXXFLAGS LDFLAGS
echo "CXXFLAGS=$CXXFLAGS"
echo "LDFLAGS=$LDFLAGS"

rm -rf "$dir"
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=None -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
log=$dir/build.log
if ! cmake --build "$dir" -j 2 >"$log" 2>&1; then
  tail -n 60 "$log"
  exit 1
fi
echo "built; compiler warnings: $(grep -c 'warning:' "$log" || true)"
grep 'warning:' "$log" | sort -u | head -n 20 || true
ctest --test-dir "$dir" -j 2 --timeout 300 --output-on-failure
