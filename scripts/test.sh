#!/usr/bin/env bash
# Sets everything up and runs the whole test suite: a normal build with
# warnings as errors, then an address + undefined-behaviour sanitizer build,
# then a bounded fuzzing run over the frame line parsers, then a
# thread-sanitizer build of the threaded parts.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
bash scripts/bootstrap.sh
jobs=$(nproc)

bash scripts/build.sh build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVEK_WERROR=ON
ctest --test-dir build --output-on-failure -j "$jobs"

bash scripts/build.sh build-asan -DCMAKE_BUILD_TYPE=Debug -DVEK_SANITIZE=address,undefined \
  -DVEK_BUILD_BENCH=OFF
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build-asan --output-on-failure -j "$jobs" -LE no-asan

bash lib/kvrproto/fuzz/run-fuzz.sh 60

bash scripts/build.sh build-tsan -DCMAKE_BUILD_TYPE=Debug -DVEK_SANITIZE=thread \
  -DVEK_BUILD_BENCH=OFF
TSAN_OPTIONS="halt_on_error=1 suppressions=$top/scripts/tsan.supp" \
  ctest --test-dir build-tsan --output-on-failure -j "$jobs" -L threads
