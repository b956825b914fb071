#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# bench/vekbs_cpu.sh BUILD_DIR [SECONDS]: the CPU a card station spends, split into
# the receiver and the rest of the station, with the emulated card's own work left
# out. An emulated card plays vekgen's default scenario (frames at both bit rates
# across the band, in noise) in a loop at the card's real rate, and
# `vekbs --card --duration SECONDS` runs on it once per receiver setting.
#
# The station's threads are sampled by `perf record -e cpu-clock` (one sample per
# millisecond of CPU, each with its thread and the library it was in):
#   receiver   the "iqWriter" thread: the receiver and the wrapper's posting to it;
#   rest       every other thread of the station: the main loop ("vekbs": frames,
#              filters, output, statistics) and the USB event thread's own code
#              (libusb, libxvek, the hand-over of the samples);
#   emulation  left out: the USB event thread's time in the kernel and in
#              umockdev's preload library, which under vekemu carry every USB
#              request over a socket to the emulated card (a real card's usbfs
#              requests cost a fraction of that), plus umockdev in any thread.
# The card itself (making the samples) runs in the vekemu process, not counted.
# Without perf, the per-thread times are read from /proc (10 ms ticks) and the USB
# thread is shown whole. "bytes lost" is the station's rx_dropped_bytes (samples it
# could not take in time). Prints Markdown rows; the percentages are of one core
# over the SECONDS of signal.
set -euo pipefail
build=$(cd "${1:?BUILD_DIR}" && pwd)
seconds=${2:-60}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
"$build/tools/vekgen/vekgen" -o rec >/dev/null
: >empty.conf
tck=$(getconf CLK_TCK)
have_perf=0
if command -v perf >/dev/null && perf record -e cpu-clock -o probe.data -- true >/dev/null 2>&1; then
  have_perf=1
fi

pct() { awk -v ms="$1" -v s="$seconds" 'BEGIN { printf "%.2f s (%.2f %%)", ms / 1e3, ms / 10 / s }'; }

# Runs the station with "$@" and prints its row.
measure() {
  local label=$1
  shift
  rm -f pid perf.data
  "$build/tools/vekemu/vekemu" --sigmf rec.sigmf-meta -- /bin/sh -c 'echo $$ >pid; exec "$@"' sh \
    "$build/tools/vekbs/vekbs" --card --quiet --json --duration "$seconds" --config empty.conf \
    "$@" 2>station.err &
  local runner=$!
  while [ ! -s pid ]; do sleep 0.05; done
  local pid
  pid=$(cat pid)
  local -A ticks=()
  if [ "$have_perf" = 1 ]; then
    # Once the receiver's and the USB event threads exist (perf follows the threads
    # present when it attaches): one sample a millisecond of CPU until the end.
    local tries=0
    until grep -qx iqWriter /proc/"$pid"/task/*/comm 2>/dev/null &&
      grep -qx libvekUsbEngine /proc/"$pid"/task/*/comm 2>/dev/null; do
      sleep 0.05
      tries=$((tries + 1))
      [ "$tries" -lt 400 ] || { echo "vekbs_cpu.sh: no receiver or USB thread in 20 s" >&2; exit 1; }
    done
    perf record -q -e cpu-clock -c 1000000 -p "$pid" -o perf.data >/dev/null 2>&1 || true
  else
    local t stat name
    while kill -0 "$pid" 2>/dev/null; do
      for t in /proc/"$pid"/task/*; do
        name=$(cat "$t/comm" 2>/dev/null) || continue
        stat=$(cat "$t/stat" 2>/dev/null) || continue
        # shellcheck disable=SC2086 # the fields are split on purpose
        set -- ${stat##*) }
        ticks[$name]=$((${12} + ${13}))
      done
      sleep 0.2
    done
  fi
  wait "$runner"
  local frames dropped cpu receiver rest emulation
  frames=$(grep -o '"frames":[0-9]*' station.err | head -1 | cut -d: -f2)
  dropped=$(grep -o '"rx_dropped_bytes":[0-9]*' station.err | cut -d: -f2)
  cpu=$(grep -o '"cpu_s":[0-9.]*' station.err | cut -d: -f2)
  if [ "$have_perf" = 1 ]; then
    read -r receiver rest emulation < <(perf report -i perf.data -n --sort comm,dso --stdio \
      -F sample,comm,dso -t';' 2>/dev/null | awk -F';' '
        /^#/ || NF < 3 { next }
        { n = $1 + 0; comm = $2; dso = $3; gsub(/ +$/, "", comm); gsub(/ +$/, "", dso)
          if (comm == "iqWriter") r += n
          else if (dso ~ /umockdev/ || (comm == "libvekUsbEngine" && dso ~ /^\[kernel/)) e += n
          else o += n }
        END { printf "%d %d %d\n", r, o, e }')
  else
    receiver=$((${ticks[iqWriter]:-0} * 1000 / tck))
    rest=$(((${ticks[vekbs]:-0}) * 1000 / tck))
    emulation=$((${ticks[libvekUsbEngine]:-0} * 1000 / tck))
  fi
  printf '| %s | %s | %s | %s | %s | %s | %s | %.2f s |\n' "$label" "$frames" "$dropped" "$(pct "$receiver")" \
    "$(pct "$rest")" "$(pct $((receiver + rest)))" "$(pct "$emulation")" "$cpu"
}

if [ "$have_perf" = 1 ]; then
  echo "| station | frames | bytes lost | receiver | rest of the station | station | left out: emulation in the process | process cpu_s |"
else
  echo "| station | frames | bytes lost | receiver (iqWriter) | main loop | station | USB thread with the emulation | process cpu_s |"
fi
echo "|---|---:|---:|---:|---:|---:|---:|---:|"
measure "vchan, both rates (the default)"
measure "vchan, 100 bit/s" --bit-rate 100
measure "vchan, 600 bit/s" --bit-rate 600
measure "vdem, 100 bit/s" --receiver vdem --bit-rate 100
measure "vdem, 600 bit/s" --receiver vdem --bit-rate 600
