#!/usr/bin/python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""A base-station host in Python, on libiqhub (and libxvek for a card).

It runs uplink I/Q through an Iqhub on a GLib main loop, feeding it with
asynchronous writes, and prints each frame the station delivers as one JSON
object per line, with the members of `vekbs --json`:

    basestation.py RECORDING        a SigMF recording (ci16_le at 192000 samples/s):
                                    BASE, BASE.sigmf-meta or BASE.sigmf-data
    basestation.py --card [N] --duration S
                                    card N (0), S seconds of its stream; on a machine
                                    without a card: vekemu --sigmf REC.sigmf-meta -- ...

The frames pass the library's filters (the authentication check unless
--no-auth, a device white or black list) and one of this program's own
(--min-snr). Exit status: 0 on success, 1 on a failure at run time, 2 on a
usage error.
"""

import argparse
import collections
import json
import signal
import sys
import threading
import time

import gi

gi.require_version("GLib", "2.0")
gi.require_version("Iqhub", "1.0")
gi.require_version("Kvrproto", "1.0")
from gi.repository import GLib, Iqhub, Kvrproto  # noqa: E402

SAMPLE_RATE = 192000
BYTES_PER_SAMPLE = 4  # signed 16-bit I, then Q


class UsageError(Exception):
    pass


def device_id(text):
    """A device id, decimal or 0x hexadecimal, as vekbs reads them."""
    try:
        value = int(text, 16) if text.lower().startswith("0x") else int(text, 10)
    except ValueError:
        raise argparse.ArgumentTypeError(f"'{text}' is not a device id") from None
    if not 0 <= value <= 0xFFFFFFFF:
        raise argparse.ArgumentTypeError(f"'{text}' is not a 32-bit device id")
    return value


def parse_args(argv):
    parser = argparse.ArgumentParser(
        description="Run uplink I/Q through an Iqhub and print the frames as JSON.")
    source = parser.add_mutually_exclusive_group(required=True)
    source.add_argument("recording", nargs="?", help="SigMF recording")
    source.add_argument("--card", type=int, nargs="?", const=0, metavar="N",
                        help="stream card N (default 0)")
    parser.add_argument("--duration", type=float, metavar="S",
                        help="with --card: seconds of signal to run (default: until SIGINT)")
    parser.add_argument("--receiver", choices=("vchan", "vdem"), default="vchan")
    parser.add_argument("--bit-rate", choices=("both", "100", "600"), default=None,
                        help="both (vchan's default), 100 (vdem's default) or 600")
    parser.add_argument("--int-gain", type=float, default=98.0, metavar="DB")
    parser.add_argument("--no-auth", action="store_true",
                        help="deliver frames whose authentication code is wrong")
    lists = parser.add_mutually_exclusive_group()
    lists.add_argument("--whitelist", type=device_id, action="append", metavar="ID",
                       help="deliver only the frames of these devices")
    lists.add_argument("--blacklist", type=device_id, action="append", metavar="ID",
                       help="drop the frames of these devices")
    parser.add_argument("--min-snr", type=float, metavar="DB",
                        help="drop frames measured below this SNR")
    args = parser.parse_args(argv)
    if args.bit_rate is None:
        args.bit_rate = "both" if args.receiver == "vchan" else "100"
    if args.receiver == "vdem" and args.bit_rate == "both":
        parser.error("the vdem receiver hears one bit rate: give --bit-rate 100 or 600")
    if args.duration is not None and (args.card is None or not args.duration > 0):
        parser.error("--duration goes with --card and is a positive number of seconds")
    return args


def open_recording(path):
    """The samples of a SigMF recording, in host byte order."""
    base = path
    for suffix in (".sigmf-meta", ".sigmf-data"):
        if base.endswith(suffix):
            base = base[: -len(suffix)]
    try:
        with open(base + ".sigmf-meta", encoding="utf-8") as f:
            meta = json.load(f)
        with open(base + ".sigmf-data", "rb") as f:
            data = f.read()
    except (OSError, ValueError) as e:
        raise RuntimeError(f"cannot read the recording {base}: {e}") from None
    glob = meta.get("global", {}) if isinstance(meta, dict) else {}
    if glob.get("core:datatype") != "ci16_le" or glob.get("core:sample_rate") != SAMPLE_RATE:
        raise RuntimeError(f"{base}.sigmf-meta: not ci16_le samples at {SAMPLE_RATE}/s")
    if len(data) % BYTES_PER_SAMPLE:
        raise RuntimeError(f"{base}.sigmf-data: a partial sample at the end")
    if sys.byteorder == "big":
        import array
        samples = array.array("h", data)
        samples.byteswap()
        data = samples.tobytes()
    return data


def frame_json(frame):
    """The members of `vekbs --json` for a frame object."""
    p = frame.props
    out = {"time": int(p.timestamp), "bit_rate": p.bit_rate, "device_id": p.tid}
    if isinstance(frame, Kvrproto.FrameV1):
        raw = bytes(p.raw)
        out.update(seq=p.seq, ack=bool(p.ack), oob=p.oob != 0, repetition=p.frame_seq,
                   payload=bytes(p.data).hex(), bytes=raw.hex())
    else:
        out.update(bytes=bytes(p.data).hex())
    out.update(freq_hz=p.frequency, snr_db=p.snr, rssi_db=p.rssi)
    return out


class Station:
    """One Iqhub on the default main context, and the writes that feed it."""

    def __init__(self, args):
        rate = Iqhub.BIT_RATE_BOTH if args.bit_rate == "both" else int(args.bit_rate)
        self.hub = Iqhub.Hub(receiver=args.receiver, bit_rate=rate, int_gain=args.int_gain)
        # The last filter added runs first: the device list before the (costlier) check.
        if not args.no_auth:
            self.hub.add_filter(Iqhub.HmacFilter())
        ids = args.whitelist or args.blacklist
        if ids:
            mode = (Iqhub.DeviceFilterMode.WHITELIST if args.whitelist
                    else Iqhub.DeviceFilterMode.BLACKLIST)
            devices = Iqhub.DeviceFilter(mode=mode)
            for i in ids:
                devices.register_device(i)
            self.hub.add_filter(devices)
        self.min_snr = args.min_snr
        self.loop = GLib.MainLoop()
        self.error = None
        self.out_closed = False
        self.hub.set_frame_callback_gobject(self.on_frame, None)
        _, self.write_bytes = self.hub.start()
        self.pending = None  # the write in flight
        self.written = 0  # samples
        self.start = None  # Unix time of the first sample

    def on_frame(self, hub, frame, user_data):
        if self.min_snr is not None and frame.props.snr < self.min_snr:
            return True
        if not self.out_closed:
            try:
                print(json.dumps(frame_json(frame), separators=(",", ":")), flush=True)
            except BrokenPipeError:
                # The reader has what it wanted (basestation.py ... | head -1).
                self.out_closed = True
                self.loop.quit()
        return True

    def write(self, chunk, on_done):
        """Writes one buffer; on_done() runs on the main loop once it has completed."""
        at = self.start + self.written / SAMPLE_RATE
        self.written += len(chunk) // BYTES_PER_SAMPLE
        self.pending = on_done
        try:
            self.hub.write_async_tv(chunk, at, None, self.on_written, None)
        except GLib.Error as e:
            self.fail(f"write refused: {e.message}")

    def on_written(self, hub, result, user_data):
        on_done, self.pending = self.pending, None
        try:
            hub.write_finish(result)
        except GLib.Error as e:
            self.fail(f"write failed: {e.message}")
            return
        # A write cannot be issued from inside its own completion.
        GLib.idle_add(on_done)

    def drain_and_quit(self):
        """Quits once every frame of the writes so far has been delivered."""
        GLib.idle_add(self.loop.quit, priority=GLib.PRIORITY_LOW)

    def fail(self, message):
        if self.error is None:
            self.error = message
        self.loop.quit()

    def run(self, on_stop):
        """Runs the main loop; SIGINT or SIGTERM calls on_stop() there."""
        def on_signal():
            on_stop()
            return GLib.SOURCE_REMOVE

        for signum in (signal.SIGINT, signal.SIGTERM):
            GLib.unix_signal_add(GLib.PRIORITY_HIGH, signum, on_signal)
        self.loop.run()
        self.hub.stop_sync()
        if self.error is not None:
            raise RuntimeError(self.error)


def run_recording(station, data):
    """Writes the recording, one advised length at a time, as fast as it goes."""
    station.start = time.time()
    position = 0

    def write_next():
        nonlocal position
        if position >= len(data):
            station.drain_and_quit()
            return GLib.SOURCE_REMOVE
        chunk = data[position:position + station.write_bytes]
        position += len(chunk)
        station.write(chunk, write_next)
        return GLib.SOURCE_REMOVE

    def stop():
        nonlocal position
        position = len(data)

    GLib.idle_add(write_next)
    station.run(stop)


def run_card(station, index, duration):
    """Streams card @index: its transfers arrive on the device library's USB
    thread and cross to the main loop through a queue; the main loop writes
    them on in advised lengths."""
    gi.require_version("Xvek", "1.0")
    from gi.repository import Xvek

    _, device = Xvek.Device.new_with_mode(index, Xvek.OpenMode.NO_TX)
    try:
        stream_card(station, device, duration)
    finally:
        device.release_device()


def stream_card(station, device, duration):
    from gi.repository import Xvek

    device.rx_configure(100, 2, Xvek.StreamRate.VAL192K, Xvek.StreamAccessType.RW,
                        Xvek.StreamBitwidth.VAL16, Xvek.StreamEndian.LE,
                        Xvek.StreamNbChannel.VAL2)
    wanted = None if duration is None else int(duration * SAMPLE_RATE) * BYTES_PER_SAMPLE
    transfers = collections.deque()
    lock = threading.Lock()
    state = {"scheduled": False, "received": 0, "stopped": False}
    buffer = bytearray()

    def on_rx(dev, samples, length, user_data):
        # The USB thread: hand the bytes over, never wait for the main loop.
        with lock:
            transfers.append(bytes(samples))
            if not state["scheduled"]:
                state["scheduled"] = True
                GLib.idle_add(take_transfers)
        return True

    def take_transfers():
        with lock:
            state["scheduled"] = False
            while transfers:
                chunk = transfers.popleft()
                if station.start is None:
                    station.start = time.time()
                if wanted is not None:
                    chunk = chunk[: max(0, wanted - state["received"])]
                state["received"] += len(chunk)
                buffer.extend(chunk)
        if wanted is not None and state["received"] >= wanted:
            stop_rx()
        write_ready()
        return GLib.SOURCE_REMOVE

    def write_ready():
        if station.pending is not None:
            return GLib.SOURCE_REMOVE
        if len(buffer) >= station.write_bytes or (state["stopped"] and buffer):
            n = min(len(buffer), station.write_bytes)
            chunk = bytes(buffer[:n])
            del buffer[:n]
            station.write(chunk, write_ready)
        elif state["stopped"]:
            station.drain_and_quit()
        return GLib.SOURCE_REMOVE

    def stop_rx():
        if not state["stopped"]:
            state["stopped"] = True
            device.rx_stop()

    def stop():
        stop_rx()
        write_ready()

    device.rx_start(on_rx, None)
    try:
        station.run(stop)
    finally:
        stop_rx()


def main(argv):
    args = parse_args(argv)
    try:
        station = Station(args)
        if args.card is not None:
            run_card(station, args.card, args.duration)
        else:
            run_recording(station, open_recording(args.recording))
    except RuntimeError as e:
        print(f"basestation: {e}", file=sys.stderr)
        return 1
    except GLib.Error as e:
        print(f"basestation: {e.message}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
