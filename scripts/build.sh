#!/usr/bin/env bash
# scripts/build.sh DIR [cmake options...]: configures (once) and builds one build tree.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
dir=$1
shift
if [ ! -f "$dir/build.ninja" ]; then
  cmake -S "$top" -B "$dir" -G Ninja "$@"
fi
cmake --build "$dir"
