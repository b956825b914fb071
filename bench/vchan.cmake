# SPDX-License-Identifier: GPL-2.0-or-later
# The channelised receiver beside libvdem (see bench/results/vchan.md). Never
# runs under ctest.
add_executable(vchan_measure ${CMAKE_CURRENT_LIST_DIR}/vchan_measure.cpp)
target_link_libraries(vchan_measure PRIVATE vekgen_decode)
