# SPDX-License-Identifier: LGPL-2.1-or-later
# Fuzz targets: one LLVMFuzzerTestOneInput per parser.
#
# vek_add_fuzz_target(NAME <name> SOURCES ... LIBS ... CORPUS <folder> [DICT <file>]
#                     [MAX_LEN n] [REGRESSIONS <input>...])
#   <folder> holds the seed inputs, and the crash inputs found so far in its
#   regressions/ folder.
#   In every build with tests, the target is also linked with a small main that runs
#   inputs through it once: Fuzz.<name>.Corpus replays the seed corpus, and each crash
#   input named under REGRESSIONS is a test of its own, Fuzz.<name>.<input>.
#   With VEK_FUZZ (clang), <name> is a libFuzzer program over the real libraries, and
#   Fuzz.<name>.Run (label fuzz) fuzzes it for VEK_FUZZ_SECONDS from the seed corpus.
#
# vek_write_fuzz_list() (once, after every target): writes fuzz-targets.txt in
#   the build tree, one line per target with its name, program, seed corpus,
#   largest input and dictionary ("-" for none), separated by tabs. The long
#   run (scripts/fuzz-long.sh) reads it, so that no target list is kept twice.
function(vek_add_fuzz_target)
  cmake_parse_arguments(ARG "" "NAME;CORPUS;DICT;MAX_LEN" "SOURCES;LIBS;REGRESSIONS" ${ARGN})
  if(NOT VEK_BUILD_TESTS AND NOT VEK_FUZZ)
    return()
  endif()
  if(NOT ARG_MAX_LEN)
    set(ARG_MAX_LEN 4096)
  endif()
  set(name ${ARG_NAME})
  set(corpus ${ARG_CORPUS})
  if(NOT IS_DIRECTORY ${corpus})
    message(FATAL_ERROR "fuzz target ${name}: no seed corpus in ${corpus}")
  endif()

  if(VEK_FUZZ)
    add_executable(${name} ${ARG_SOURCES})
    target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
    target_link_libraries(${name} PRIVATE ${ARG_LIBS})
    target_link_options(${name} PRIVATE -fsanitize=fuzzer)
    set(replay ${name})
    if(NOT TARGET vek_fuzz)
      add_custom_target(vek_fuzz)
    endif()
    add_dependencies(vek_fuzz ${name})

    set(work ${CMAKE_CURRENT_BINARY_DIR}/fuzz-${name})
    file(MAKE_DIRECTORY ${work}/corpus)
    set(options -max_total_time=${VEK_FUZZ_SECONDS} -timeout=10 -rss_limit_mb=2048
        -max_len=${ARG_MAX_LEN} -artifact_prefix=${work}/ -print_final_stats=1)
    if(ARG_DICT)
      list(APPEND options -dict=${ARG_DICT})
    endif()
    # New inputs go to the build tree's corpus; the committed one is only read.
    add_test(NAME Fuzz.${name}.Run
      COMMAND ${name} ${options} ${work}/corpus ${corpus}
      WORKING_DIRECTORY ${work})
    # Reading the corpus and the final merge come on top of the fuzzing time.
    math(EXPR timeout "${VEK_FUZZ_SECONDS} * 3 + 60")
    set_tests_properties(Fuzz.${name}.Run PROPERTIES LABELS fuzz TIMEOUT ${timeout})
    # libFuzzer's own main replays the inputs when given files, or with -runs=0 a folder.
    set(replay_corpus -runs=0 ${corpus})
    # For vek_write_fuzz_list: name, program, seed corpus, largest input, dictionary.
    if(ARG_DICT)
      set(dict ${ARG_DICT})
    else()
      set(dict -)
    endif()
    set_property(GLOBAL APPEND PROPERTY VEK_FUZZ_TARGETS
      "${name}\t$<TARGET_FILE:${name}>\t${corpus}\t${ARG_MAX_LEN}\t${dict}")
  else()
    set(replay ${name}_replay)
    add_executable(${replay} ${ARG_SOURCES} ${PROJECT_SOURCE_DIR}/tests/fuzz_replay.cpp)
    target_include_directories(${replay} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
    target_link_libraries(${replay} PRIVATE ${ARG_LIBS})
    set(replay_corpus ${corpus})
  endif()

  add_test(NAME Fuzz.${name}.Corpus COMMAND ${replay} ${replay_corpus})
  foreach(input IN LISTS ARG_REGRESSIONS)
    if(NOT EXISTS ${corpus}/regressions/${input})
      message(FATAL_ERROR "fuzz target ${name}: regression input ${input} is missing")
    endif()
    add_test(NAME Fuzz.${name}.${input} COMMAND ${replay} ${corpus}/regressions/${input})
  endforeach()
endfunction()

function(vek_write_fuzz_list)
  get_property(targets GLOBAL PROPERTY VEK_FUZZ_TARGETS)
  list(JOIN targets "\n" lines)
  file(GENERATE OUTPUT ${PROJECT_BINARY_DIR}/fuzz-targets.txt CONTENT "${lines}\n")
endfunction()
