#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Sets everything up and runs the whole test suite:
#  1. a normal build with warnings as errors, its tests (the Python tests of the
#     typelibs among them), then the tests labelled valgrind (a selection run
#     under valgrind's memory checker);
#  1b. the Debian packages, built without their own test run (nocheck: the suite
#     runs here), checked with lintian, installed, tested from the installed
#     files and purged (scripts/build-debs.sh, scripts/test-debs.sh);
#  2. libvchan's receiver tests again over its other FFTs: KissFFT, which a build
#     without libavutil uses, and FFTW, which a build may be told to use;
#  3. an address + undefined-behaviour sanitizer build and its tests;
#  4. the fuzz targets built with clang's libFuzzer over the real libraries, each
#     fuzzed for a short while (the long run is scripts/fuzz-long.sh);
#  5. a thread-sanitizer build of the tests labelled threads.
# A missing tool (clang, valgrind) fails the run rather than skipping its part.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
bash scripts/bootstrap.sh
jobs=$(nproc)

bash scripts/build.sh build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVEK_WERROR=ON -DVEK_SANITIZE= \
  -DVEK_BUILD_TESTS=ON -DVEK_BUILD_BENCH=ON
ctest --test-dir build --output-on-failure -j "$jobs" -LE valgrind
# The service unit's exposure as systemd scores it (a test above holds it there).
systemd-analyze security --offline=yes build/tools/vekbs/vekbs.service | tail -n 1
ctest --test-dir build --output-on-failure -j "$jobs" -L valgrind

# The debug symbols packages are left out here: the test installs what users run.
DEB_BUILD_OPTIONS=noautodbgsym bash scripts/build-debs.sh build-deb
bash scripts/test-debs.sh build-deb

bash scripts/build.sh build-kissfft --target vchan_tests --target vchan_alloc_tests \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVEK_WERROR=ON -DVEK_SANITIZE= -DVEK_BUILD_TESTS=ON \
  -DVEK_BUILD_BENCH=OFF -DVEK_VCHAN_FFT=kissfft
ctest --test-dir build-kissfft --output-on-failure -j "$jobs" -R '^Vchan'
bash scripts/build.sh build-fftw --target vchan_tests --target vchan_alloc_tests \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVEK_WERROR=ON -DVEK_SANITIZE= -DVEK_BUILD_TESTS=ON \
  -DVEK_BUILD_BENCH=OFF -DVEK_VCHAN_FFT=fftw
ctest --test-dir build-fftw --output-on-failure -j "$jobs" -R '^Vchan'

bash scripts/build.sh build-asan -DCMAKE_BUILD_TYPE=Debug -DVEK_SANITIZE=address,undefined \
  -DVEK_BUILD_TESTS=ON -DVEK_BUILD_BENCH=OFF
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build-asan --output-on-failure -j "$jobs" -LE no-asan

bash scripts/build.sh build-fuzz --target vek_fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DVEK_FUZZ=ON \
  -DVEK_SANITIZE=address,undefined -DVEK_BUILD_TESTS=OFF -DVEK_BUILD_BENCH=OFF
ctest --test-dir build-fuzz --output-on-failure -j "$jobs"

bash scripts/build.sh build-tsan -DCMAKE_BUILD_TYPE=Debug -DVEK_SANITIZE=thread \
  -DVEK_BUILD_TESTS=ON -DVEK_BUILD_BENCH=OFF
TSAN_OPTIONS="halt_on_error=1 suppressions=$top/scripts/tsan.supp" \
  ctest --test-dir build-tsan --output-on-failure -j "$jobs" -L threads
