# SPDX-License-Identifier: LGPL-2.1-or-later
# Run as a test script: fails when the shared library LIB exports anything but
# the entry points its public headers mark with the export macro MACRO (no C++
# or standard-library symbol may leak), or when it carries one of the test
# hooks listed in HOOKS (those belong to static test archives only).
#   cmake -DLIB=<file> -DHEADERS=<dir or header>[|...] -DMACRO=<NAME_EXPORT>
#         [-DHOOKS=<symbol>[|...]] -P CheckExports.cmake
# A type declared with G_DECLARE_*_TYPE or G_DECLARE_INTERFACE after the macro
# documents its <name>_get_type().
find_program(NM nm REQUIRED)
string(REPLACE "|" ";" inputs "${HEADERS}")
set(headers)
foreach(input IN LISTS inputs)
  if(IS_DIRECTORY ${input})
    file(GLOB found ${input}/*.h)
    list(APPEND headers ${found})
  else()
    list(APPEND headers ${input})
  endif()
endforeach()

set(documented)
foreach(header IN LISTS headers)
  file(READ ${header} text)
  string(REGEX MATCHALL "${MACRO}[ \t\n]+G_DECLARE_[A-Z_]+[ \t\n]*\\([^,]+,[ \t\n]*[a-z_0-9]+"
         types "${text}")
  foreach(decl IN LISTS types)
    string(REGEX MATCH "([a-z_0-9]+)$" _ "${decl}")
    list(APPEND documented ${CMAKE_MATCH_1}_get_type)
  endforeach()
  string(REGEX MATCHALL "${MACRO}[^(;]*\\(" decls "${text}")
  foreach(decl IN LISTS decls)
    if(decl MATCHES "G_DECLARE_")
      continue()
    endif()
    string(REGEX MATCH "([A-Za-z_][A-Za-z0-9_]*)[ \t\n]*\\($" _ "${decl}")
    list(APPEND documented ${CMAKE_MATCH_1})
  endforeach()
endforeach()
if(NOT documented)
  message(FATAL_ERROR "no ${MACRO} declarations found in ${HEADERS}")
endif()
list(REMOVE_DUPLICATES documented)
list(SORT documented)

execute_process(COMMAND ${NM} -D --defined-only --format=just-symbols ${LIB}
  OUTPUT_VARIABLE dyn RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIB}")
endif()
string(REGEX MATCHALL "[^\n]+" exported "${dyn}")
list(SORT exported)
if(NOT exported STREQUAL documented)
  set(extra ${exported})
  list(REMOVE_ITEM extra ${documented})
  set(missing ${documented})
  list(REMOVE_ITEM missing ${exported})
  message(FATAL_ERROR "${LIB} exports what its headers do not document:\n  ${extra}\n"
                      "and lacks what they document:\n  ${missing}")
endif()

if(HOOKS)
  string(REPLACE "|" ";" hooks "${HOOKS}")
  execute_process(COMMAND ${NM} --format=just-symbols ${LIB} OUTPUT_VARIABLE all ERROR_QUIET)
  foreach(hook IN LISTS hooks)
    if(all MATCHES "(^|\n)${hook}(\n|$)")
      message(FATAL_ERROR "${LIB} carries the test hook ${hook}")
    endif()
  endforeach()
endif()
list(LENGTH exported n)
message(STATUS "${LIB} exports its ${n} documented entry points")
