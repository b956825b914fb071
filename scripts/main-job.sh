#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# scripts/main-job.sh BUILD_DIR: the main job on the built-in sample data.
# The reference base station runs its built-in scenario (signed frames of
# several types at both bit rates from three devices, one forged, one from a
# black-listed device, in noise) through the wrapper library (its default
# receiver: the channelised one, both bit rates in one pass), prints every
# frame it delivers and its counters, and checks the delivered frames against
# what was sent. Then it synthesises a downlink frame, and, with the emulated
# card built, runs the station on an emulated card playing a recording and
# asks an emulated card for its hardware information.
set -euo pipefail
build=$(cd "${1:-build}" && pwd)

echo "== Uplink: frames the base station delivers (built-in scenario) =="
"$build/tools/vekbs/vekbs" --check --fast
echo
echo "== Downlink: the frame for device 0x10A1, sequence 5, payload c0ffee =="
"$build/tools/vekbs/vekbs" --synth 0x10A1 5 c0ffee 869525000

if [ -x "$build/tools/vekemu/vekemu" ]; then
  echo
  echo "== The uplink road on an emulated card playing a vekgen recording, checked =="
  demo=$(mktemp -d)
  trap 'rm -rf "$demo"' EXIT
  "$build/tools/vekgen/vekgen" -o "$demo/demo" \
    -f "at=0.2 rate=100 dev=0x12AB34 seq=5 payload=c0ffee" \
    -f "at=2.8 rate=100 dev=0x12AB35 seq=6 payload=01" >/dev/null
  : >"$demo/vekbs.conf"
  "$build/tools/vekemu/vekemu" --fast --sigmf "$demo/demo.sigmf-meta" -- \
    "$build/tools/vekbs/vekbs" --card --check --truth "$demo/demo" --config "$demo/vekbs.conf"
fi

if [ -x "$build/tools/vekemu/vekemu" ] && [ -x "$build/vekutils/vekctl/vekctl" ]; then
  echo
  echo "== vekctl --hwinfo on an emulated card =="
  "$build/tools/vekemu/vekemu" -- "$build/vekutils/vekctl/vekctl" --hwinfo
fi
