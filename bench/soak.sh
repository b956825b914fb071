#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# bench/soak.sh BUILD_DIR [SECONDS_OF_SIGNAL] [SPEED] [RECORDING_SECONDS]: the station's
# soak. vekgen writes a recording of a real front end and real devices (default 300 s):
# signed frames at 100 and 600 bit/s, one a second, at 12 to 20 dB Eb/N0 across the
# band, with every impairment vekgen has: a DC offset and its spike, I/Q imbalance,
# 20 wandering carriers, wide-band bursts, clicks, clipping, overload bursts, and per
# frame a drift, a step or a clock error. `vekdecode --receiver vchan` decodes it once
# (the expected set); then bench/vekbs_road plays it in a loop through an emulated card
# (vekemu --speed SPEED) into `vekbs --card --receiver vchan` and a real mosquitto for
# SECONDS_OF_SIGNAL (default 10800, three hours) and checks that every pass delivers
# exactly that set once. Peak RSS is read after a tenth of the run and at its end.
# A frame that starts within SEAM seconds (environment, default 1) after the loop's
# seam is counted apart: vekdecode met it fresh, the station after the recording's end.
# Prints the load of the machine, the recording's settings, and the row.
set -euo pipefail
build=$(cd "${1:?BUILD_DIR}" && pwd)
seconds=${2:-10800}
speed=${3:-10}
length=${4:-300}
seam=${SEAM:-1}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Twenty carriers 9 kHz apart (symmetric, so that the I/Q images of the carriers fall
# on carriers); the frames sit between them, at least 3 kHz from every carrier and
# 4.5 kHz from 0 Hz. A frame a second from 3 s to 6 s before the end, so that no
# frame is near the loop's seam; rates alternate, Eb/N0 goes round 12..20 dB, and
# each device has an error of its own.
carriers=$(awk 'BEGIN { for (k = 0; k < 20; k++) printf "%s%d", k ? "," : "", -85500 + 9000 * k }')
overloads=$(awk -v n="$length" 'BEGIN { for (t = 17.3; t < n - 3; t += 29) printf "%s%.2f", (t > 17.3 ? "," : ""), t }')
awk -v n="$length" 'BEGIN {
  for (i = 0; 3 + i <= n - 6; i++) {
    rate = i % 2 ? 100 : 600
    ebn0 = 12 + (i * 3) % 9
    power = 40 + ebn0 - 10 * log(192000 / rate) / log(10)
    slot = (i * 7) % 18
    if (slot >= 9) slot++
    freq = -81000 + 9000 * slot + (i * 1237) % 3000 - 1500
    split("drift=30|drift=-30 step=50|ppm=50 step=-50|ppm=-50 drift=20|drift=-20 ppm=30", errors, "|")
    printf "at=%.2f rate=%d dev=0x%X seq=%d payload=%02x%02x freq=%d power=%.2f %s\n",
      3 + i, rate, 1572864 + i, i % 4096, i % 256, (i * 7) % 256, freq, power, errors[i % 5 + 1]
  }
}' >"$work/frames"
impairments=(--noise 40 --seed 18 --dc 45 --iq-gain 1 --iq-phase 5
  --carriers 20 --carrier-level 40 --carrier-freq "$carriers" --carrier-wander 50
  --bursts 0.05 --clicks 5 --clip 35 --overload "$overloads")
echo "machine: $(nproc) CPUs, load average $(cut -d' ' -f1-3 /proc/loadavg) at the start"
echo "recording: $length s, $(wc -l <"$work/frames") frames, vekgen ${impairments[*]}"
# (vekgen warns of frames closer than the reference receiver can take apart: the
# channelised one hears them at once.)
nice -n 5 "$build/tools/vekgen/vekgen" -o "$work/rec" --duration "$length" \
  --frame-file "$work/frames" "${impairments[@]}" >/dev/null 2>"$work/vekgen.err" ||
  { cat "$work/vekgen.err" >&2; exit 1; }
nice -n 5 "$build/tools/vekgen/vekdecode" --receiver vchan "$work/rec" >"$work/expected" ||
  [ $? -eq 3 ]
grep -v '^rate=' "$work/expected"
rss_at=$(awk -v s="$seconds" -v x="$speed" 'BEGIN { r = s / x / 10; printf "%d", r < 30 ? 30 : r }')
# A station faster than real time on a machine shared with other loads may wait
# for a core for seconds at a time: a hand-over of 4096 transfers (44 s of signal,
# 32 MiB, allocated at the start) rides that out where the default 512 would drop.
queue=4096
echo "command: vekbs_road --recording REC.sigmf-meta --receiver vchan --expect VEKDECODE_OUTPUT" \
  "--seconds $seconds --speed $speed --rss-at $rss_at --queue-transfers $queue --seam $seam"
status=0
nice -n 5 "$build/bench/vekbs_road" --recording "$work/rec.sigmf-meta" --receiver vchan \
  --expect "$work/expected" --seconds "$seconds" --speed "$speed" --rss-at "$rss_at" \
  --queue-transfers "$queue" --seam "$seam" || status=$?
echo "machine: load average $(cut -d' ' -f1-3 /proc/loadavg) at the end"
exit "$status"
