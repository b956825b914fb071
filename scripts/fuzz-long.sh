#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# scripts/fuzz-long.sh [RUNS] [TARGET...]: the long fuzzing run recorded in
# bench/results/fuzz.md. Builds the fuzz targets (clang, libFuzzer, address and
# undefined-behaviour sanitizers) in build-fuzz, then runs each target for RUNS
# executions (default 10000000), two at a time, from its committed seed corpus.
# Each target's log, new corpus and any crash input are left in
# build-fuzz/long/<target>/. Exit status: non-zero when a target found a crash.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
runs=${1:-10000000}
shift || true
bash scripts/build.sh build-fuzz --target vek_fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DVEK_FUZZ=ON \
  -DVEK_SANITIZE=address,undefined -DVEK_BUILD_TESTS=OFF -DVEK_BUILD_BENCH=OFF

# Name, program, seed corpus, largest input, dictionary.
targets=(
  "kvrconf_keyfile_fuzz lib/kvrconf lib/kvrconf/fuzz/corpus/keyfile 512 -"
  "vekgen_sigmf_fuzz tools/vekgen tools/vekgen/fuzz/corpus/sigmf 2048 -"
  "vekgen_frames_fuzz tools/vekgen tools/vekgen/fuzz/corpus/frames 1024 tools/vekgen/fuzz/vekgen_frames_fuzz.dict"
  "kvrlog_conf_fuzz lib/kvrlog lib/kvrlog/fuzz/corpus/conf 2048 -"
  "kvrproto_lines_fuzz lib/kvrproto lib/kvrproto/fuzz/corpus/lines 512 lib/kvrproto/fuzz/kvrproto_lines_fuzz.dict"
  "kvrconf_convert_fuzz lib/kvrconf lib/kvrconf/fuzz/corpus/convert 256 -"
)

run_one() {
  local name=$1 dir=$2 corpus=$3 max_len=$4 dict=$5
  local work=$top/build-fuzz/long/$name
  mkdir -p "$work/corpus"
  local options=(-runs="$runs" -max_len="$max_len" -timeout=10 -rss_limit_mb=2048
    -artifact_prefix="$work/" -print_final_stats=1)
  [ "$dict" = - ] || options+=(-dict="$top/$dict")
  "$top/build-fuzz/$dir/$name" "${options[@]}" "$work/corpus" "$top/$corpus" >"$work/log" 2>&1
}

status=0
running=0
for entry in "${targets[@]}"; do
  read -r name dir corpus max_len dict <<<"$entry"
  if [ $# -gt 0 ] && [[ " $* " != *" $name "* ]]; then
    continue
  fi
  if [ $running -eq 2 ]; then
    wait -n || status=1
    running=$((running - 1))
  fi
  run_one "$name" "$dir" "$corpus" "$max_len" "$dict" &
  running=$((running + 1))
done
while [ $running -gt 0 ]; do
  wait -n || status=1
  running=$((running - 1))
done
for log in "$top"/build-fuzz/long/*/log; do
  echo "== $(basename "$(dirname "$log")")"
  grep -E '^stat::(number_of_executed_units|average_exec_per_sec|new_units_added|peak_rss_mb)|^Done|ERROR' "$log" || true
done
exit $status
