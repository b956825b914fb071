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

# Name, program, seed corpus, largest input and dictionary of every target,
# as CMake registered them (vek_add_fuzz_target).
list=$top/build-fuzz/fuzz-targets.txt
mapfile -t targets <"$list"
if [ ${#targets[@]} -eq 0 ]; then
  echo "no fuzz target in $list" >&2
  exit 1
fi

run_one() {
  local name=$1 program=$2 corpus=$3 max_len=$4 dict=$5
  local work=$top/build-fuzz/long/$name
  mkdir -p "$work/corpus"
  local options=(-runs="$runs" -max_len="$max_len" -timeout=10 -rss_limit_mb=2048
    -artifact_prefix="$work/" -print_final_stats=1)
  [ "$dict" = - ] || options+=(-dict="$dict")
  "$program" "${options[@]}" "$work/corpus" "$corpus" >"$work/log" 2>&1
}

status=0
running=0
for entry in "${targets[@]}"; do
  IFS=$'\t' read -r name program corpus max_len dict <<<"$entry"
  if [ $# -gt 0 ] && [[ " $* " != *" $name "* ]]; then
    continue
  fi
  if [ $running -eq 2 ]; then
    wait -n || status=1
    running=$((running - 1))
  fi
  run_one "$name" "$program" "$corpus" "$max_len" "$dict" &
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
