# SPDX-License-Identifier: GPL-2.0-or-later
# End-to-end throughput and memory of the base-station host against the bare
# demodulator on the same recording (bench/results/iqhub.md).
add_executable(iqhub_throughput ${CMAKE_CURRENT_LIST_DIR}/iqhub_throughput.cpp)
target_link_libraries(iqhub_throughput PRIVATE vekgen_core vdem)
target_compile_definitions(iqhub_throughput PRIVATE VEKBS_PATH="$<TARGET_FILE:vekbs>")
add_dependencies(iqhub_throughput vekbs)
