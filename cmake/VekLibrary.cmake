# SPDX-License-Identifier: LGPL-2.1-or-later
# Helpers shared by every library, test and tool of the project.
#
# vek_add_library(NAME <name> SOVERSION <n> SOURCES ... [PUBLIC_LIBS ...] [PRIVATE_LIBS ...]
#                 [PC_REQUIRES <pkg-config modules>] [PC_REQUIRES_PRIVATE ...] [DESCRIPTION text]
#                 [LICENCE text])
#   Builds lib<name>.so.<n> from <dir>/src with hidden visibility. Public headers live in
#   <dir>/include/<name>/ and are installed under include/<name>/. A generated
#   <name>/<name>-export.h defines <NAME>_EXPORT for the documented entry points.
#   A <name>.pc is generated and installed; its description ends with the licence
#   (LGPL-2.1-or-later unless LICENCE says otherwise, for a build that a dependency
#   puts under other terms).
function(vek_add_library)
  cmake_parse_arguments(ARG "" "NAME;SOVERSION;DESCRIPTION;LICENCE"
    "SOURCES;PUBLIC_LIBS;PRIVATE_LIBS;PC_REQUIRES;PC_REQUIRES_PRIVATE;PC_LIBS_PRIVATE" ${ARGN})
  set(name ${ARG_NAME})
  add_library(${name} SHARED ${ARG_SOURCES})
  set_property(GLOBAL APPEND PROPERTY VEK_LIBRARIES ${name})
  set_target_properties(${name} PROPERTIES
    VERSION ${ARG_SOVERSION}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}
    SOVERSION ${ARG_SOVERSION}
    C_VISIBILITY_PRESET hidden
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON
    # Sibling libraries are found beside an installed one, whatever the prefix.
    INSTALL_RPATH "$ORIGIN")
  string(TOUPPER ${name} upper)
  generate_export_header(${name}
    BASE_NAME ${upper}
    EXPORT_FILE_NAME ${CMAKE_CURRENT_BINARY_DIR}/include/${name}/${name}-export.h)
  target_include_directories(${name}
    PUBLIC
      $<BUILD_INTERFACE:${CMAKE_CURRENT_SOURCE_DIR}/include>
      $<BUILD_INTERFACE:${CMAKE_CURRENT_BINARY_DIR}/include>
      $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>
    PRIVATE
      ${CMAKE_CURRENT_SOURCE_DIR}/src
      ${CMAKE_CURRENT_BINARY_DIR}/src)
  target_link_libraries(${name} PUBLIC ${ARG_PUBLIC_LIBS} PRIVATE ${ARG_PRIVATE_LIBS})
  # clang leaves the sanitizer runtimes out of shared libraries (the program brings
  # them), so only the other builds can insist on every symbol being resolved.
  if(VEK_SANITIZE AND CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    target_link_options(${name} PRIVATE -Wl,--as-needed)
  else()
    target_link_options(${name} PRIVATE -Wl,--no-undefined -Wl,--as-needed)
  endif()

  install(TARGETS ${name} LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
  install(DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}/include/${name}
    DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} FILES_MATCHING PATTERN "*.h")
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/include/${name}/${name}-export.h
    DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/${name})

  list(JOIN ARG_PC_REQUIRES ", " PC_REQUIRES)
  list(JOIN ARG_PC_REQUIRES_PRIVATE ", " PC_REQUIRES_PRIVATE)
  list(JOIN ARG_PC_LIBS_PRIVATE " " PC_LIBS_PRIVATE)
  # Relative to the .pc file, so that an installed tree can be moved.
  file(RELATIVE_PATH PC_RELATIVE_PREFIX "${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig"
    "${CMAKE_INSTALL_PREFIX}")
  set(PC_NAME ${name})
  if(NOT ARG_LICENCE)
    set(ARG_LICENCE "LGPL-2.1-or-later")
  endif()
  set(PC_DESCRIPTION "${ARG_DESCRIPTION} (${ARG_LICENCE})")
  configure_file(${PROJECT_SOURCE_DIR}/cmake/library.pc.in
    ${CMAKE_CURRENT_BINARY_DIR}/${name}.pc @ONLY)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/${name}.pc
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endfunction()

# vek_add_enums(TARGET <lib> HEADERS <public headers...> NAME <stem>)
#   Runs glib-mkenums over the headers into <build>/src/generated/<stem>.{h,c}
#   and compiles the registrations into the library.
function(vek_add_enums)
  cmake_parse_arguments(ARG "" "TARGET;NAME" "HEADERS" ${ARGN})
  set(out ${CMAKE_CURRENT_BINARY_DIR}/src/generated)
  file(MAKE_DIRECTORY ${out})
  add_custom_command(OUTPUT ${out}/${ARG_NAME}.h
    COMMAND ${GLIB_MKENUMS} --template ${CMAKE_CURRENT_SOURCE_DIR}/src/${ARG_NAME}.h.template
            --output ${out}/${ARG_NAME}.h ${ARG_HEADERS}
    DEPENDS ${ARG_HEADERS} ${CMAKE_CURRENT_SOURCE_DIR}/src/${ARG_NAME}.h.template
    VERBATIM)
  add_custom_command(OUTPUT ${out}/${ARG_NAME}.c
    COMMAND ${GLIB_MKENUMS} --template ${CMAKE_CURRENT_SOURCE_DIR}/src/${ARG_NAME}.c.template
            --output ${out}/${ARG_NAME}.c ${ARG_HEADERS}
    DEPENDS ${ARG_HEADERS} ${CMAKE_CURRENT_SOURCE_DIR}/src/${ARG_NAME}.c.template
    VERBATIM)
  target_sources(${ARG_TARGET} PRIVATE ${out}/${ARG_NAME}.h ${out}/${ARG_NAME}.c)
endfunction()

# vek_add_gtest(NAME <test> SOURCES ... LIBS ... [ENVIRONMENT ...] [LABELS ...] [TIMEOUT s]
#               [NO_GTEST_MAIN])
#   A GoogleTest binary whose cases each become a CTest test. NO_GTEST_MAIN
#   leaves main() to one of LIBS (the emulated-card tests bring their own).
#   Every binary carries the hang watchdog (tests/watchdog): a case still
#   running shortly before TIMEOUT prints the stack of every thread and fails.
function(vek_add_gtest)
  cmake_parse_arguments(ARG "NO_GTEST_MAIN" "NAME;TIMEOUT" "SOURCES;LIBS;ENVIRONMENT;LABELS" ${ARGN})
  if(NOT VEK_BUILD_TESTS)
    return()
  endif()
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 300)
  endif()
  set(time_limit_src ${CMAKE_CURRENT_BINARY_DIR}/${ARG_NAME}_time_limit.c)
  file(CONFIGURE OUTPUT ${time_limit_src}
    CONTENT "const unsigned vek_test_time_limit_s = ${ARG_TIMEOUT};\n")
  add_executable(${ARG_NAME} ${ARG_SOURCES} ${time_limit_src})
  target_link_libraries(${ARG_NAME} PRIVATE ${ARG_LIBS} vek_test_watchdog GTest::gtest)
  if(NOT ARG_NO_GTEST_MAIN)
    target_link_libraries(${ARG_NAME} PRIVATE GTest::gtest_main)
  endif()
  target_compile_definitions(${ARG_NAME} PRIVATE
    VEK_TEST_SRCDIR="${CMAKE_CURRENT_SOURCE_DIR}"
    VEK_TEST_BUILDDIR="${CMAKE_CURRENT_BINARY_DIR}")
  # An empty property value would shift the ones after it, so only set
  # what is given.
  set(properties TIMEOUT ${ARG_TIMEOUT})
  if(ARG_ENVIRONMENT)
    list(APPEND properties ENVIRONMENT "${ARG_ENVIRONMENT}")
  endif()
  if(ARG_LABELS)
    list(APPEND properties LABELS "${ARG_LABELS}")
  endif()
  gtest_discover_tests(${ARG_NAME}
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 60
    WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}
    PROPERTIES ${properties})
endfunction()

# vek_add_man_page(TARGET <program> NAME "<one-line description>" VERSION "<version line>")
#   Generates and installs <program>.1 from the program's --help with help2man;
#   without help2man the page is left out.
function(vek_add_man_page)
  cmake_parse_arguments(ARG "" "TARGET;NAME;VERSION" "" ${ARGN})
  find_program(HELP2MAN help2man)
  if(NOT HELP2MAN)
    message(STATUS "help2man not found: the ${ARG_TARGET} manual page is not built")
    return()
  endif()
  # The page is named after the program the target builds (vekemu-runner builds vekemu).
  get_target_property(program ${ARG_TARGET} OUTPUT_NAME)
  if(NOT program)
    set(program ${ARG_TARGET})
  endif()
  set(man ${CMAKE_CURRENT_BINARY_DIR}/${program}.1)
  add_custom_command(OUTPUT ${man}
    COMMAND ${CMAKE_COMMAND} -E env ASAN_OPTIONS=detect_leaks=0 LC_ALL=C.UTF-8
            ${HELP2MAN} --no-info --no-discard-stderr --locale=C.UTF-8
            --name "${ARG_NAME}" --version-string "${ARG_VERSION}"
            --output ${man} $<TARGET_FILE:${ARG_TARGET}>
    DEPENDS ${ARG_TARGET}
    COMMENT "Generating the ${ARG_TARGET} manual page"
    VERBATIM)
  add_custom_target(${ARG_TARGET}-man ALL DEPENDS ${man})
  install(FILES ${man} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endfunction()
