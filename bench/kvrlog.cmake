# SPDX-License-Identifier: GPL-2.0-or-later
# Cost of a message rejected by the call-site gate and of one file-sink line.
add_executable(kvrlog_bench ${CMAKE_CURRENT_LIST_DIR}/kvrlog_bench.cpp)
target_link_libraries(kvrlog_bench PRIVATE kvrlog benchmark::benchmark)
