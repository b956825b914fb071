#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# bench/vekbs_cpu.sh BUILD_DIR [SECONDS]: the CPU a card station spends, split by
# thread. An emulated card plays vekgen's default scenario (frames at both bit
# rates across the band, in noise) in a loop at the card's real rate, and
# `vekbs --card --duration SECONDS` runs on it once per receiver setting. The
# CPU time of each of the station's threads is read from /proc while it runs
# (the last reading of each thread counts): "iqWriter" is the receiver (with
# the wrapper's posting), "vekbs" the main loop (frames, statistics, the rest),
# "libvekUsbEngine" the USB event thread, which under vekemu also runs the
# emulation's in-process part. Prints one Markdown row per setting.
set -euo pipefail
build=$(cd "${1:?BUILD_DIR}" && pwd)
seconds=${2:-60}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
"$build/tools/vekgen/vekgen" -o rec >/dev/null
: >empty.conf
tck=$(getconf CLK_TCK)

# Runs the station with "$@" and prints its row.
measure() {
  local label=$1
  shift
  rm -f pid
  "$build/tools/vekemu/vekemu" --sigmf rec.sigmf-meta -- /bin/sh -c 'echo $$ >pid; exec "$@"' sh \
    "$build/tools/vekbs/vekbs" --card --quiet --json --duration "$seconds" --config empty.conf \
    "$@" 2>station.err &
  local runner=$!
  while [ ! -s pid ]; do sleep 0.1; done
  local pid
  pid=$(cat pid)
  declare -A ticks=()
  local t stat name
  while kill -0 "$pid" 2>/dev/null; do
    for t in /proc/"$pid"/task/*; do
      name=$(cat "$t/comm" 2>/dev/null) || continue
      stat=$(cat "$t/stat" 2>/dev/null) || continue
      set -- ${stat##*) }
      ticks[$name]=$((${12} + ${13}))
    done
    sleep 0.2
  done
  wait "$runner"
  local frames cpu
  frames=$(grep -o '"frames":[0-9]*' station.err | head -1 | cut -d: -f2)
  cpu=$(grep -o '"cpu_s":[0-9.]*' station.err | cut -d: -f2)
  share() { awk -v t="${ticks[$1]:-0}" -v k="$tck" -v s="$seconds" \
    'BEGIN { printf "%.2f s (%.2f %%)", t / k, 100 * t / k / s }'; }
  printf '| %s | %s | %s | %s | %s | %.2f s |\n' "$label" "$frames" "$(share iqWriter)" \
    "$(share vekbs)" "$(share libvekUsbEngine)" "$cpu"
}

echo "| station | frames | receiver (iqWriter) | main loop | USB thread (with the emulation) | process |"
echo "|---|---:|---:|---:|---:|---:|"
measure "vchan, both rates (the default)"
measure "vchan, 100 bit/s" --bit-rate 100
measure "vchan, 600 bit/s" --bit-rate 600
measure "vdem, 100 bit/s" --receiver vdem --bit-rate 100
measure "vdem, 600 bit/s" --receiver vdem --bit-rate 600
