# SPDX-License-Identifier: GPL-2.0-or-later
"""The Python examples against the station's own programs: the host's frames
are those of `vekbs --json`, the downlink frames those of `vekbs --synth`."""

import time

import pytest

from conftest import BLACK_LISTED, RECORDING_SECONDS, json_lines, program, run, vekbs_json


def without_time(frames):
    return [{k: v for k, v in f.items() if k != "time"} for f in frames]


SENT = {0x12AB35, 0x12AB34, 0x12AB37, BLACK_LISTED, 0x1}  # and 0x12AB36, forged
FORGED = 0x12AB36


@pytest.mark.parametrize("host_options, vekbs_options, devices", [
    ([], [], SENT),
    (["--no-auth", "--blacklist", hex(BLACK_LISTED)], ["--no-auth", "--blacklist", "LIST"],
     SENT - {BLACK_LISTED} | {FORGED}),
    (["--receiver", "vdem", "--bit-rate", "100"], ["--receiver", "vdem", "--bit-rate", "100"],
     None),
], ids=["default", "no-auth-blacklist", "vdem-100"])
def test_host_prints_the_frames_of_vekbs(python, examples, recording, tmp_path,
                                         host_options, vekbs_options, devices):
    listed = tmp_path / "list"
    listed.write_text(f"{BLACK_LISTED}\n")
    vekbs_options = [str(listed) if o == "LIST" else o for o in vekbs_options]
    before = int(time.time())
    frames = json_lines(run([python, examples / "basestation.py", *host_options, recording]))
    after = int(time.time())
    assert without_time(frames) == without_time(vekbs_json(recording, *vekbs_options))
    if devices is not None:
        assert {f["device_id"] for f in frames} == devices
        assert {f["bit_rate"] for f in frames} == {100, 600}
    else:
        # The reference demodulator hears one rate, and fewer frames at once.
        assert frames and {f["bit_rate"] for f in frames} == {100}
    # The time of a frame is that of its write: the run started now, and the
    # recording lasts RECORDING_SECONDS.
    assert all(before <= f["time"] <= after + RECORDING_SECONDS for f in frames)


def test_host_on_an_emulated_card(python, examples, recording):
    """The card's transfers reach Python on the device library's USB thread:
    the frames of one pass of the recording are those of the recording."""
    frames = json_lines(run([program("vekemu"), "--sigmf", f"{recording}.sigmf-meta",
                             "--speed=4", "--", python, examples / "basestation.py",
                             "--card", "0", "--duration", str(RECORDING_SECONDS)]))
    assert without_time(frames) == without_time(vekbs_json(recording))


@pytest.mark.parametrize("request_args", [
    ["0x12AB34", "5", "c0ffee", "869525000"],
    ["0", "0", "-", "1"],
    ["0xFFFFFFFF", "4095", "0102030405060708", "4294967295"],
])
def test_downlink_is_the_frame_of_vekbs_synth(python, examples, request_args):
    frame = run([python, examples / "downlink.py", *request_args]).strip()
    assert frame == run([program("vekbs"), "--synth", *request_args]).strip()
    assert len(bytes.fromhex(frame)) == 28

