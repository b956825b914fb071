# SPDX-License-Identifier: GPL-2.0-or-later
# Device library: RX throughput and stop latency against the emulated card.
add_executable(xvek_rx_bench ${CMAKE_CURRENT_LIST_DIR}/xvek_rx_bench.cpp)
target_link_libraries(xvek_rx_bench PRIVATE xvek vekemu benchmark::benchmark PkgConfig::GLIB)
