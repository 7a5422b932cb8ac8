# SPDX-License-Identifier: Apache-2.0
# morvix_program_path(VAR TARGET): sets VAR to the path a test uses to start
# the program TARGET. Natively that is the program itself. When
# cross-compiling it is a small script that starts the program under
# CMAKE_CROSSCOMPILING_EMULATOR: ctest runs the test binary in the emulator,
# but a user-mode emulator does not follow the programs that binary starts.
function(morvix_program_path var target)
  if(NOT CMAKE_CROSSCOMPILING OR NOT CMAKE_CROSSCOMPILING_EMULATOR)
    set(${var} "$<TARGET_FILE:${target}>" PARENT_SCOPE)
    return()
  endif()
  set(script ${CMAKE_BINARY_DIR}/emulated/${target})
  get_property(made GLOBAL PROPERTY morvix_emulated_programs)
  if(NOT target IN_LIST made)
    set_property(GLOBAL APPEND PROPERTY morvix_emulated_programs ${target})
    list(JOIN CMAKE_CROSSCOMPILING_EMULATOR " " emulator)
    file(GENERATE OUTPUT ${script}
         CONTENT "#!/bin/sh\nexec ${emulator} $<TARGET_FILE:${target}> \"$@\"\n"
         FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                          WORLD_READ WORLD_EXECUTE)
  endif()
  set(${var} "${script}" PARENT_SCOPE)
endfunction()
