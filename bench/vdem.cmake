# SPDX-License-Identifier: GPL-2.0-or-later
# Demodulator benchmarks: real-time factor of the uplink chain and the cost
# of one frame measurement, each on the optimised and the plain path.
add_executable(vdem_bench
  ${CMAKE_CURRENT_LIST_DIR}/vdem_bench.cpp
  ${CMAKE_CURRENT_LIST_DIR}/../vdem/tests/vdem_test_signal.cpp)
target_include_directories(vdem_bench PRIVATE ${CMAKE_CURRENT_LIST_DIR}/../vdem/tests)
target_link_libraries(vdem_bench PRIVATE vdem_internal benchmark::benchmark)
