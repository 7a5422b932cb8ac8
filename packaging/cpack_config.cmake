# SPDX-License-Identifier: Apache-2.0
# Read by cpack before it packs.

# Every time stamp in the package (the ar and tar headers) is
# SOURCE_DATE_EPOCH: the caller's if set, else the release date from the
# changelog, so the same commit packs to the same bytes.
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
  set(ENV{SOURCE_DATE_EPOCH} ${CPACK_MORVIX_RELEASE_EPOCH})
endif()

# dpkg-shlibdeps reads the binaries of a cross build as the target's and
# takes the dependencies from the target's libraries (libstdc++6:arm64 ...).
if(CPACK_DEBIAN_PACKAGE_ARCHITECTURE AND NOT DEFINED ENV{DEB_HOST_ARCH})
  set(ENV{DEB_HOST_ARCH} ${CPACK_DEBIAN_PACKAGE_ARCHITECTURE})
endif()
