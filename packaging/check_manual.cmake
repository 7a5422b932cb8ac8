# SPDX-License-Identifier: Apache-2.0
# cmake -DPAGE=morvix.8 -P check_manual.cmake: fails on any groff warning.
find_program(GROFF groff)
if(NOT GROFF)
  message("groff not found, so the manual page is not checked")
  return()
endif()
execute_process(COMMAND ${GROFF} -ww -man -Tutf8 ${PAGE}
                OUTPUT_QUIET ERROR_VARIABLE warnings RESULT_VARIABLE status)
if(NOT status EQUAL 0 OR NOT warnings STREQUAL "")
  message(FATAL_ERROR "groff on ${PAGE}:\n${warnings}")
endif()
