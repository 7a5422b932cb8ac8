#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Proves the package is reproducible: builds the .deb twice from the files
# of this tree that git knows or would add, in two different directories,
# with different umasks, time zones and locales, and fails unless the two
# are byte for byte the same. On a difference it says which member of the
# package differs.
#
#   packaging/check_reproducible.sh [CMAKE_ARGS...]
#   e.g. packaging/check_reproducible.sh --toolchain cmake/aarch64-linux-gnu.cmake
set -euo pipefail
cd "$(dirname "$0")/.."

work=$(mktemp -d /tmp/morvix-repro-XXXXXX)
trap 'rm -rf "$work"' EXIT

# One build: copy the tree to $1, configure with the extra arguments, build
# what the package holds and pack it.
build() {
  local src=$1
  mkdir -p "$src"
  git ls-files -z --cached --others --exclude-standard |
    tar --null --ignore-failed-read -T - -cf - 2>/dev/null | tar -xf - -C "$src"
  (
    cd "$src"
    cmake -S . -B "$2" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF \
      -DMORVIX_BUILD_BENCH=OFF "${extra[@]}" >/dev/null
    cmake --build "$2" -j 2 --target morvix morvix-client morvix-gen morvix-decode morvix_docs >/dev/null
    cd "$2" && cpack >/dev/null
  )
}

extra=("$@")
(umask 022; TZ=UTC LC_ALL=C build "$work/one/morvix" "$work/one/morvix/build")
(umask 002; TZ=Pacific/Kiritimati LC_ALL=C.UTF-8 build "$work/the/other/source" "$work/out-of-tree")

one=$(ls "$work"/one/morvix/build/*.deb)
two=$(ls "$work"/out-of-tree/*.deb)
if cmp -s "$one" "$two"; then
  echo "reproducible: $(basename "$one") $(sha256sum <"$one" | cut -c1-16)"
  exit 0
fi

echo "NOT reproducible: $(basename "$one") differs between the two builds"
for deb in "$one" "$two"; do
  mkdir -p "$deb.x/data" "$deb.x/control"
  (cd "$deb.x" && ar x "$deb")
  dpkg-deb -x "$deb" "$deb.x/data"
  dpkg-deb -e "$deb" "$deb.x/control"
done
cmp -l "$one" "$two" | head -5 || true
diff -r "$one.x" "$two.x" || true
exit 1
