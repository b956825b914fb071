#!/usr/bin/env bash
# scripts/main-job.sh BUILD_DIR: the main job on the built-in sample data.
# Generates the default uplink scenario (frames of several types at 100 and
# 600 bit/s across the band, in noise), runs it through the demodulator and
# compares every report with what was sent. With the emulated card built, it
# also asks an emulated card for its hardware information through vekctl.
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

echo "== Uplink frames sent (default scenario) =="
"$build/tools/vekgen/vekgen" -o "$work/scenario" --truth
echo
echo "== Frames the demodulator reports =="
"$build/tools/vekgen/vekdecode" --strict "$work/scenario"

if [ -x "$build/tools/vekemu/vekemu" ] && [ -x "$build/vekutils/vekctl/vekctl" ]; then
  echo
  echo "== vekctl --hwinfo on an emulated card =="
  "$build/tools/vekemu/vekemu" -- "$build/vekutils/vekctl/vekctl" --hwinfo
fi
