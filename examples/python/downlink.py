#!/usr/bin/python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""Synthesises a downlink frame in Python, on libiqhub's SdrSynthWrapper.

    downlink.py DEVICE SEQ HEXPAYLOAD FREQ     (HEXPAYLOAD '-' for none)

prints the 28 bytes the card would transmit, in hexadecimal, as
`vekbs --synth` does. The wrapper hands the frame to a transmit callback; a
host joins that callback to the card's downlink channel:

    _, card = Xvek.Device.new_with_mode(0, Xvek.OpenMode.RX_DL)
    def transmit(wrapper, frame, length, freq, user_data):
        card.ctrl_cf_set(freq, Xvek.CtlMode.TX)
        card.dl_send(frame)
        return True

Exit status: 0 on success, 2 on a usage error.
"""

import sys

import gi

gi.require_version("Iqhub", "1.0")
from gi.repository import Iqhub  # noqa: E402


def parse(argv):
    if len(argv) != 4:
        raise ValueError("usage: downlink.py DEVICE SEQ HEXPAYLOAD FREQ")
    device_text, seq_text, payload_text, freq_text = argv
    base = 16 if device_text.lower().startswith("0x") else 10
    device = int(device_text, base)
    seq = int(seq_text, 10)
    payload = b"" if payload_text == "-" else bytes.fromhex(payload_text)
    freq = int(freq_text, 10)
    if not (0 <= device <= 0xFFFFFFFF and 0 <= seq <= 4095 and 0 <= freq <= 0xFFFFFFFF):
        raise ValueError("DEVICE, SEQ (0 to 4095) or FREQ out of range")
    if len(payload) > Iqhub.SYNTH_WRAPPER_MAX_PAYLOAD:
        raise ValueError(f"a payload has at most {Iqhub.SYNTH_WRAPPER_MAX_PAYLOAD} bytes")
    return device, seq, payload, freq


def synthesize(device, seq, payload, freq):
    """The downlink frame for one request, as the transmit callback receives it."""
    frames = []

    def transmit(wrapper, frame, length, frequency, user_data):
        frames.append((bytes(frame), frequency))
        return True

    wrapper = Iqhub.SynthWrapper()
    wrapper.set_tx_callback(transmit, None)
    # The callback runs before synthesize() returns.
    wrapper.synthesize(device, seq, payload, freq)
    if len(frames) != 1:
        raise RuntimeError("the wrapper built no frame")
    return frames[0]


def main(argv):
    try:
        request = parse(argv)
    except ValueError as e:
        print(f"downlink: {e}", file=sys.stderr)
        return 2
    frame, _ = synthesize(*request)
    print(frame.hex())
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
