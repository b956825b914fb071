# SPDX-License-Identifier: GPL-2.0-or-later
# Receiver measurements and speed from generated I/Q (see bench/results/).
# They never run under ctest.
add_executable(vekgen_measure ${CMAKE_CURRENT_LIST_DIR}/vekgen_measure.cpp)
target_link_libraries(vekgen_measure PRIVATE vekgen_decode)
add_executable(vdem_rtf ${CMAKE_CURRENT_LIST_DIR}/vdem_rtf.cpp)
target_link_libraries(vdem_rtf PRIVATE vekgen_decode benchmark::benchmark)
# The waterfall's spectrum beside the receivers (bench/results/waterfall.md).
add_executable(spectrum_cost ${CMAKE_CURRENT_LIST_DIR}/spectrum_cost.cpp)
target_link_libraries(spectrum_cost PRIVATE vekgen_decode waterfall)
