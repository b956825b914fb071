# SPDX-License-Identifier: LGPL-2.1-or-later
# Fails when the demodulator library exports anything but the entry points its
# header marks VDEM_EXPORT, or carries a test hook (those belong to the static
# test archive only).
find_program(NM nm REQUIRED)
file(READ ${HEADER} header)
string(REGEX MATCHALL "VDEM_EXPORT[^(]*\\(" decls "${header}")
set(documented)
foreach(decl IN LISTS decls)
  string(REGEX MATCH "([A-Za-z_][A-Za-z0-9_]*)\\($" _ "${decl}")
  list(APPEND documented ${CMAKE_MATCH_1})
endforeach()
list(SORT documented)

execute_process(COMMAND ${NM} -D --defined-only --format=just-symbols ${LIB}
  OUTPUT_VARIABLE dyn RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIB}")
endif()
string(REGEX MATCHALL "[^\n]+" exported "${dyn}")
list(SORT exported)
if(NOT documented)
  message(FATAL_ERROR "no VDEM_EXPORT declarations found in ${HEADER}")
endif()
if(NOT exported STREQUAL documented)
  message(FATAL_ERROR "${LIB} exports\n  ${exported}\nbut the header documents\n  ${documented}")
endif()

execute_process(COMMAND ${NM} --format=just-symbols ${LIB} OUTPUT_VARIABLE all ERROR_QUIET)
foreach(hook vdem_process_set_fast_path vdem_mem_mgt_set_fail_countdown)
  if(all MATCHES "${hook}")
    message(FATAL_ERROR "${LIB} carries the test hook ${hook}")
  endif()
endforeach()
