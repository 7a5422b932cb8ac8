# SPDX-License-Identifier: Apache-2.0
# Run by cpack once it has made the package (CPACK_POST_BUILD_SCRIPTS).
# cpack gives each member of the .deb's ar archive the mode its temporary
# file got from the umask of whoever packs; dpkg-deb always writes 100644.
# Writing that makes the package independent of the umask.
#
# An ar archive is "!<arch>\n", then per member a 60-byte text header (mode:
# 8 bytes at 40, size: 10 bytes at 48) and the member's bytes, padded to an
# even length.
foreach(deb IN LISTS CPACK_PACKAGE_FILES)
  file(SIZE ${deb} size)
  set(offset 8)
  while(offset LESS size)
    file(READ ${deb} header OFFSET ${offset} LIMIT 60)
    string(SUBSTRING "${header}" 48 10 member_size)
    string(STRIP "${member_size}" member_size)
    if(NOT member_size MATCHES "^[0-9]+$")
      message(FATAL_ERROR "${deb}: no ar member header at byte ${offset}")
    endif()
    math(EXPR mode_at "${offset} + 40")
    execute_process(COMMAND sh -c "printf '100644  ' | dd of='${deb}' bs=1 seek=${mode_at} conv=notrunc status=none"
                    COMMAND_ERROR_IS_FATAL ANY)
    math(EXPR offset "${offset} + 60 + ${member_size} + ${member_size} % 2")
  endwhile()
endforeach()
