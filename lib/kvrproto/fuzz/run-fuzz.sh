#!/bin/sh
# Builds the frame line fuzz target with clang's libFuzzer (address and
# undefined-behaviour sanitizers) straight from the sources and runs it for a
# bounded time. Usage: run-fuzz.sh [seconds] (default 60).
# Environment: KVRPROTO_FUZZ_OUT, the work directory (default
# <repository>/build-fuzz/kvrproto); CXX, the clang++ to use.
# Exit status: 0 when no input crashed, non-zero otherwise; crash inputs are
# left in the work directory as crash-*.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
lib=$(cd "$here/.." && pwd)
root=$(cd "$lib/../.." && pwd)
out=${KVRPROTO_FUZZ_OUT:-$root/build-fuzz/kvrproto}
seconds=${1:-60}
cxx=${CXX_FUZZ:-clang++}

if ! command -v "$cxx" >/dev/null 2>&1; then
    echo "run-fuzz.sh: $cxx not found, fuzzing skipped" >&2
    exit 0
fi

mkdir -p "$out/include/kvrproto" "$out/include/kvrconf" "$out/corpus"
# The CMake build generates these; the fuzz build exports everything.
printf '#pragma once\n#define KVRPROTO_EXPORT __attribute__((visibility("default")))\n' \
    >"$out/include/kvrproto/kvrproto-export.h"
printf '#pragma once\n#define KVRCONF_EXPORT __attribute__((visibility("default")))\n' \
    >"$out/include/kvrconf/kvrconf-export.h"

flags="-std=c++20 -g -O1 -fno-omit-frame-pointer -fsanitize=fuzzer,address,undefined \
 -fno-sanitize-recover=undefined"
# shellcheck disable=SC2086,SC2046
"$cxx" $flags \
    -DKVRPROTO_COMPILATION -DKVRCONF_COMPILATION -DG_LOG_DOMAIN='"kvrproto"' \
    -I"$out/include" -I"$lib/include" -I"$lib/src" -I"$root/lib/kvrconf/include" \
    $(pkg-config --cflags glib-2.0 gobject-2.0 libcrypto) \
    "$here/kvrproto_lines_fuzz.cpp" "$lib"/src/*.cpp "$root/lib/kvrconf/src/convert.cpp" \
    $(pkg-config --libs glib-2.0 gobject-2.0 libcrypto) \
    -o "$out/kvrproto_lines_fuzz"

cd "$out"
exec ./kvrproto_lines_fuzz -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -max_len=512 -dict="$here/lines.dict" -artifact_prefix="$out/" -print_final_stats=1 \
    "$out/corpus" "$here/corpus"
