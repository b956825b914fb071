# SPDX-License-Identifier: LGPL-2.1-or-later
# GObject introspection data of the GObject-shaped libraries, for hosts written
# in Python (PyGObject) and other languages.
#
# vek_add_gir(TARGET <library> NAMESPACE <Ns> HEADERS <public headers...>
#             [INCLUDES <GIR modules of the system, e.g. Gio-2.0>]
#             [GIR_DEPS <libraries of the project with a GIR of their own>]
#             [IDENTIFIER_PREFIXES ...] [SYMBOL_PREFIXES ...]
#             [IDENTIFIER_FILTER <sed script>] [SYMBOL_FILTER <sed script>])
#   Scans the headers and the built library with g-ir-scanner into
#   <build>/gir/<Ns>-1.0.gir, compiles it into <Ns>-1.0.typelib beside it, and
#   installs both (share/gir-1.0, LIBDIR/girepository-1.0). Every warning of the
#   scanner fails the build: a parameter of an exported function whose
#   ownership, direction, array length or callback scope the scanner has to
#   guess must be annotated in the header, or skipped there if it cannot cross.
#   The sed scripts rename C names the namespace's prefixes do not fit (the
#   object Iqhub, whose name is its library's prefix; types named in lower case).
#
# Sanitizer builds have no introspection: the scanner's dump program would load
# instrumented libraries without their runtime.
if(VEK_SANITIZE OR VEK_FUZZ)
  set(VEK_INTROSPECTION OFF)
else()
  set(VEK_INTROSPECTION ON)
  find_program(VEK_G_IR_SCANNER g-ir-scanner REQUIRED)
  find_program(VEK_G_IR_COMPILER g-ir-compiler REQUIRED)
  find_program(VEK_SED sed REQUIRED)
endif()
set(VEK_GIR_DIR ${PROJECT_BINARY_DIR}/gir)

function(vek_add_gir)
  cmake_parse_arguments(ARG "" "TARGET;NAMESPACE;IDENTIFIER_FILTER;SYMBOL_FILTER"
    "HEADERS;INCLUDES;GIR_DEPS;IDENTIFIER_PREFIXES;SYMBOL_PREFIXES" ${ARGN})
  if(NOT VEK_INTROSPECTION)
    return()
  endif()
  set(name ${ARG_TARGET})
  set(module ${ARG_NAMESPACE}-1.0)
  set(gir ${VEK_GIR_DIR}/${module}.gir)
  set(typelib ${VEK_GIR_DIR}/${module}.typelib)
  string(TOUPPER ${name} upper)

  set(args --quiet --warn-all --warn-error --no-libtool
    --namespace=${ARG_NAMESPACE} --nsversion=1.0
    --library=${name} --c-include=${name}/${name}.h --pkg-export=${name})
  foreach(prefix IN LISTS ARG_IDENTIFIER_PREFIXES)
    list(APPEND args --identifier-prefix=${prefix})
  endforeach()
  foreach(prefix IN LISTS ARG_SYMBOL_PREFIXES)
    list(APPEND args --symbol-prefix=${prefix})
  endforeach()
  if(ARG_IDENTIFIER_FILTER)
    list(APPEND args "--identifier-filter-cmd=${VEK_SED} -f ${ARG_IDENTIFIER_FILTER}")
  endif()
  if(ARG_SYMBOL_FILTER)
    list(APPEND args "--symbol-filter-cmd=${VEK_SED} -f ${ARG_SYMBOL_FILTER}")
  endif()
  foreach(include IN LISTS ARG_INCLUDES)
    list(APPEND args --include=${include})
  endforeach()
  set(depends ${name} ${ARG_HEADERS} ${ARG_IDENTIFIER_FILTER} ${ARG_SYMBOL_FILTER})
  set(include_dirs $<TARGET_PROPERTY:${name},INTERFACE_INCLUDE_DIRECTORIES>)
  foreach(dep IN LISTS ARG_GIR_DEPS)
    get_target_property(dep_gir ${dep} VEK_GIR)
    list(APPEND args --include-uninstalled=${dep_gir})
    list(APPEND depends ${dep_gir})
  endforeach()
  # The dump program links the library, which links its siblings.
  get_property(libraries GLOBAL PROPERTY VEK_LIBRARIES)
  foreach(lib IN LISTS libraries)
    list(APPEND args -L$<TARGET_FILE_DIR:${lib}>)
    list(APPEND include_dirs $<TARGET_PROPERTY:${lib},INTERFACE_INCLUDE_DIRECTORIES>)
  endforeach()
  set(cflags -D${upper}_COMPILATION)
  foreach(dir IN LISTS GIO_INCLUDE_DIRS)
    list(APPEND cflags -I${dir})
  endforeach()

  file(MAKE_DIRECTORY ${VEK_GIR_DIR})
  add_custom_command(OUTPUT ${gir}
    COMMAND ${CMAKE_COMMAND} -E env CC=${CMAKE_C_COMPILER}
            ${VEK_G_IR_SCANNER} ${args}
            --cflags-begin ${cflags} "-I$<JOIN:$<REMOVE_DUPLICATES:${include_dirs}>,;-I>"
            --cflags-end ${ARG_HEADERS} --output=${gir}
    DEPENDS ${depends}
    COMMENT "Scanning ${name} for GObject introspection (${module}.gir)"
    COMMAND_EXPAND_LISTS
    VERBATIM)
  add_custom_command(OUTPUT ${typelib}
    COMMAND ${VEK_G_IR_COMPILER} --includedir=${VEK_GIR_DIR} --output=${typelib} ${gir}
    DEPENDS ${gir}
    COMMENT "Compiling ${module}.typelib"
    VERBATIM)
  add_custom_target(${name}-gir ALL DEPENDS ${typelib})
  foreach(dep IN LISTS ARG_GIR_DEPS)
    add_dependencies(${name}-gir ${dep}-gir)
  endforeach()
  set_target_properties(${name} PROPERTIES VEK_GIR ${gir} VEK_TYPELIB ${typelib})
  install(FILES ${gir} DESTINATION ${CMAKE_INSTALL_DATADIR}/gir-1.0)
  install(FILES ${typelib} DESTINATION ${CMAKE_INSTALL_LIBDIR}/girepository-1.0)
endfunction()
