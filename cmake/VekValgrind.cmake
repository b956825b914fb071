# SPDX-License-Identifier: LGPL-2.1-or-later
# Valgrind as a test set-up of the normal build.
#
# vek_add_valgrind_test(TARGET <test binary> [EMULATED] [CHILDREN] [ARGS ...]
#                       [ENVIRONMENT ...] [TIMEOUT s])
#   Runs the binary once under valgrind's memory checker as the test
#   Valgrind.<target> (label valgrind): an invalid access, a use of uninitialised
#   memory or a definite leak fails it. ARGS go to the binary (a --gtest_filter
#   that keeps a representative part of a slow binary, say). CHILDREN checks
#   the programs the binary starts as well (a finding makes such a program exit
#   with status 1, which its test sees as a wrong exit status). EMULATED
#   binaries talk to emulated cards:
#   umockdev's preload library is set up before valgrind starts (the emulator's
#   usual re-execution would leave valgrind behind), and uninitialised values are
#   not tracked, as umockdev writes the card's answers into the program's memory
#   in a way memcheck does not see (tools/vekemu/README.md).
#   Sanitizer and fuzz builds have their own checkers and add no such test.
if(VEK_BUILD_TESTS AND NOT VEK_SANITIZE AND NOT VEK_FUZZ)
  find_program(VEK_VALGRIND valgrind REQUIRED)
endif()

function(vek_add_valgrind_test)
  cmake_parse_arguments(ARG "EMULATED;CHILDREN" "TARGET;TIMEOUT" "ARGS;ENVIRONMENT" ${ARGN})
  if(NOT VEK_BUILD_TESTS OR VEK_SANITIZE OR VEK_FUZZ)
    return()
  endif()
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 900)
  endif()
  set(options --error-exitcode=1 --leak-check=full --errors-for-leak-kinds=definite
      --show-leak-kinds=definite --track-fds=no --num-callers=30
      --suppressions=${PROJECT_SOURCE_DIR}/tools/vekemu/valgrind.supp)
  # GLib hands memory back to the system, so that leaks show. The binary's hang
  # watchdog bounds each case by this test's time limit, not by its own.
  set(environment G_SLICE=always-malloc G_DEBUG=gc-friendly VEK_TEST_TIME_LIMIT_S=${ARG_TIMEOUT}
      ${ARG_ENVIRONMENT})
  if(ARG_CHILDREN)
    # The hang watchdog's debuggers are left alone: they cannot trace a process
    # under valgrind when valgrind runs them too.
    list(APPEND options --trace-children=yes --trace-children-skip=*/gdb,*/eu-stack)
  endif()
  if(ARG_EMULATED)
    list(APPEND options --undef-value-errors=no)
    list(APPEND environment LD_PRELOAD=libumockdev-preload.so.0)
  endif()
  set(test Valgrind.${ARG_TARGET})
  add_test(NAME ${test}
    COMMAND ${VEK_VALGRIND} ${options} $<TARGET_FILE:${ARG_TARGET}> ${ARG_ARGS}
    WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
  set_tests_properties(${test} PROPERTIES LABELS "valgrind;no-asan" TIMEOUT ${ARG_TIMEOUT}
    ENVIRONMENT "${environment}")
endfunction()

# Negative --gtest_filter patterns that leave out every instance but the first
# (".../0") of the value-parameterised tests: under valgrind the further
# instances run the same code on other values. Used as
#   ARGS --gtest_filter=-${VEK_VALGRIND_LATER_INSTANCES}[:more patterns]
set(VEK_VALGRIND_LATER_INSTANCES)
foreach(i RANGE 1 31)
  list(APPEND VEK_VALGRIND_LATER_INSTANCES "*/${i}")
endforeach()
string(JOIN ":" VEK_VALGRIND_LATER_INSTANCES ${VEK_VALGRIND_LATER_INSTANCES})
