#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# scripts/build.sh DIR [--target NAME]... [cmake options...]: configures one build tree
# with the options given and builds it (or only the targets named).
# The options are passed on every run, so that a tree configured earlier with other
# values (say VEK_WERROR=OFF) is brought back to what this run asks for.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
dir=$1
shift
targets=()
options=()
while [ $# -gt 0 ]; do
  case $1 in
    --target) targets+=(--target "$2"); shift 2 ;;
    *) options+=("$1"); shift ;;
  esac
done
cmake -S "$top" -B "$dir" -G Ninja "${options[@]}"
cmake --build "$dir" -j "$(nproc)" "${targets[@]}"
