# SPDX-License-Identifier: GPL-2.0-or-later
# Frame lines parsed and printed per second, authentication codes computed per second.
add_executable(kvrproto_bench ${CMAKE_CURRENT_LIST_DIR}/kvrproto_bench.cpp)
target_link_libraries(kvrproto_bench PRIVATE kvrproto OpenSSL::Crypto benchmark::benchmark)
