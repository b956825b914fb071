# SPDX-License-Identifier: GPL-2.0-or-later
# The channelised receiver beside libvdem (see bench/results/vchan.md). Never
# runs under ctest.
# The banks' transforms alone are timed with KissFFT called directly and with the
# library's own FFT wrapper, compiled in.
add_executable(vchan_measure ${CMAKE_CURRENT_LIST_DIR}/vchan_measure.cpp
                             ${CMAKE_CURRENT_LIST_DIR}/bench_impair.cpp
                             ${PROJECT_SOURCE_DIR}/vchan/src/vchan_fft.cpp)
target_include_directories(vchan_measure PRIVATE ${PROJECT_SOURCE_DIR}/vchan/src)
pkg_check_modules(BENCH_KISSFFT REQUIRED IMPORTED_TARGET kissfft-float)
target_link_libraries(vchan_measure PRIVATE vekgen_decode vchan_fft_backend
                                            PkgConfig::BENCH_KISSFFT)

# The canceller alone, compiled in from the library's sources.
add_executable(vchan_cancel_measure ${CMAKE_CURRENT_LIST_DIR}/vchan_cancel_measure.cpp
                                    ${PROJECT_SOURCE_DIR}/vchan/src/vchan_cancel.cpp)
target_include_directories(vchan_cancel_measure PRIVATE ${PROJECT_SOURCE_DIR}/vchan/src
  $<TARGET_PROPERTY:vdem,INTERFACE_INCLUDE_DIRECTORIES>)
target_compile_options(vchan_cancel_measure PRIVATE -fcx-limited-range)
target_link_libraries(vchan_cancel_measure PRIVATE vekgen_core)

# The research behind repetition combining: the joint decoder and the combiner
# compiled in from the library's sources, on seeded symbols.
add_executable(vchan_combine_sim ${CMAKE_CURRENT_LIST_DIR}/vchan_combine_sim.cpp
  ${PROJECT_SOURCE_DIR}/vchan/src/vchan_combine.cpp ${PROJECT_SOURCE_DIR}/vchan/src/vchan_joint.cpp
  ${PROJECT_SOURCE_DIR}/vchan/src/vchan_fft.cpp $<TARGET_OBJECTS:vdem_decoder>)
target_include_directories(vchan_combine_sim PRIVATE ${PROJECT_SOURCE_DIR}/vchan/src
  ${PROJECT_SOURCE_DIR}/vdem/src $<TARGET_PROPERTY:vdem,INTERFACE_INCLUDE_DIRECTORIES>)
target_compile_options(vchan_combine_sim PRIVATE -fcx-limited-range -fno-math-errno)
target_link_libraries(vchan_combine_sim PRIVATE vekgen_core vchan_fft_backend)
