#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# gir_warning_test.sh SOURCE_DIR: the build fails when g-ir-scanner warns about
# a parameter it would have to guess. A one-function library goes through the
# project's vek_add_gir twice: with its callback parameter unannotated the
# build must fail, naming it; annotated, it must build its typelib.
set -euo pipefail
source_dir=$1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cp "$source_dir/tests/gir/CMakeLists.txt" "$source_dir/tests/gir/mini.c" "$scratch/"
mkdir -p "$scratch/include/mini"

header() { # $1: the annotation block of mini_call, or nothing
  cat >"$scratch/include/mini/mini.h" <<HEADER
#pragma once
#include <glib.h>
typedef void (*MiniFunc)(gpointer user_data);
$1
void mini_call(MiniFunc func, gpointer user_data);
HEADER
}

header ""
cmake -S "$scratch" -B "$scratch/build" -G Ninja -DVEK_SOURCE_DIR="$source_dir" >/dev/null
if cmake --build "$scratch/build" >"$scratch/log" 2>&1; then
  echo "an unannotated callback parameter did not fail the build" >&2
  exit 1
fi
if ! grep -q "mini_call: argument func: Missing (scope) annotation" "$scratch/log"; then
  echo "the build failed, but not on the scanner's warning:" >&2
  cat "$scratch/log" >&2
  exit 1
fi
echo "unannotated: the build fails on the scanner's warning"

header "/**
 * mini_call:
 * @func: (scope call): called before mini_call() returns
 */"
cmake --build "$scratch/build" >"$scratch/log" 2>&1 || {
  cat "$scratch/log" >&2
  exit 1
}
[ -f "$scratch/build/gir/Mini-1.0.typelib" ]
echo "annotated: the typelib is built"
