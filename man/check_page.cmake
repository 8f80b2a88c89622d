# SPDX-License-Identifier: MIT
# Renders one man page as lintian does and fails on any warning:
#   cmake -DMAN=man -DPAGE=relka.1.gz -P check_page.cmake
execute_process(
  COMMAND ${CMAKE_COMMAND} -E env LC_ALL=C.UTF-8 MANWIDTH=80
          ${MAN} --warnings -E UTF-8 -l -Tutf8 -Z ${PAGE}
  OUTPUT_QUIET
  ERROR_VARIABLE warnings
  RESULT_VARIABLE status)
if(NOT status EQUAL 0 OR NOT warnings STREQUAL "")
  message(FATAL_ERROR "${PAGE}: status ${status}\n${warnings}")
endif()
message(STATUS "${PAGE}: renders cleanly")
