# SPDX-License-Identifier: GPL-2.0-or-later
"""The libraries through their typelibs, as a Python host drives them."""

import gc
import sys
import weakref

import pytest
from gi.repository import GLib, Iqhub, Kvrlog, Kvrproto, Xvek

from conftest import BLACK_LISTED, vekbs_json

# The advised write of a started object: a whole number of 100 bit/s packets
# (15360 complex samples of 4 bytes), near 15 ms.
PACKET_100_BYTES = 15360 * 4


def test_properties_and_start_stop():
    hub = Iqhub.Hub(receiver="vchan", bit_rate=Iqhub.BIT_RATE_BOTH, int_gain=90.5)
    assert (hub.props.receiver, hub.props.bit_rate, hub.props.int_gain) == ("vchan", 700, 90.5)
    assert (hub.props.frames, hub.props.bpsp, hub.props.errapi) == (0, 4, "No error")
    hub.props.tsdepth = 20
    hub.props.uplink_cf = 868130000.0
    assert (hub.props.tsdepth, hub.props.uplink_cf) == (20, 868130000.0)

    ok, advised = hub.start()
    assert ok and advised > 0 and advised % PACKET_100_BYTES == 0
    assert hub.start()[0]  # a started object: TRUE at once
    assert hub.stop_sync() and hub.stop_sync()
    ok, again = hub.start()  # started again after a stop
    assert ok and again == advised
    assert hub.stop_sync()

    # The logger's configuration object: the wrapper's trace names are registered.
    Iqhub.onload()
    conf = Kvrlog.Conf.new()
    assert {"TRACE_IQHUB", "TRACE_IQHUB_SCHED"} <= set(conf.list_trace())
    conf.props.level = Kvrlog.Level.ERR
    assert conf.props.level == Kvrlog.Level.ERR


def assert_error(excinfo, domain, code, message_part):
    """A GError of the libraries as Python sees it: the domain is the integer
    used as a GQuark, the code the library's own."""
    error = excinfo.value
    assert isinstance(error, GLib.Error)
    assert error.code == code
    assert message_part in error.message
    # The domain arrives as the text GLib keeps for that quark number: its
    # number, not its text, names the library's domain.
    assert GLib.quark_from_string(error.domain) == domain
    assert error.matches(domain, code)
    assert not error.matches(domain, code + 1)
    assert not error.matches(GLib.quark_from_string("g-io-error-quark"), code)


def test_errors_are_python_exceptions_with_domain_and_code():
    hub = Iqhub.Hub()
    with pytest.raises(GLib.Error) as excinfo:
        hub.get_rate_counters(250)
    assert_error(excinfo, Iqhub.ErrorDomain.ERRDOM, Iqhub.ErrorCode.ERR_EINVAL, "250 bit/s")

    # A write to a stopped object, and a time value that is not one.
    with pytest.raises(GLib.Error) as excinfo:
        hub.send_bytes(bytes(PACKET_100_BYTES))
    assert_error(excinfo, Iqhub.ErrorDomain.ERRDOM, Iqhub.ErrorCode.ERR_NOT_RUNNING, "")
    hub.start()
    with pytest.raises(GLib.Error) as excinfo:
        hub.write_async_tv(bytes(16), float("nan"), None, None, None)
    assert_error(excinfo, Iqhub.ErrorDomain.ERRDOM, Iqhub.ErrorCode.ERR_EINVAL, "time value")
    hub.stop_sync()

    with pytest.raises(GLib.Error) as excinfo:
        Kvrproto.parse("FDATA_V1;not a frame")
    assert_error(excinfo, Kvrproto.ERRDOM, Kvrproto.ErrorCode.ERR_BADFORMAT, "")

    # No card on this bus (or no bus at all).
    with pytest.raises(GLib.Error) as excinfo:
        Xvek.Device.new_with_mode(7, Xvek.OpenMode.CTL_ONLY)
    assert_error(excinfo, Xvek.ErrorDomain(1), Xvek.ErrorCode.ERR, "")


def frame_summary(frame):
    """What a frame object says, in the members of `vekbs --json` but the time."""
    p = frame.props
    return {"bit_rate": p.bit_rate, "device_id": p.tid, "seq": p.seq, "ack": bool(p.ack),
            "oob": p.oob != 0, "repetition": p.frame_seq, "payload": bytes(p.data).hex(),
            "bytes": bytes(p.raw).hex(), "freq_hz": p.frequency, "snr_db": p.snr,
            "rssi_db": p.rssi}


def read_samples(base):
    data = open(f"{base}.sigmf-data", "rb").read()
    assert sys.byteorder == "little"  # the recording's ci16_le is the host's order
    return data


def test_async_writes_deliver_the_frames_vekbs_delivers(recording, tmp_path):
    """A recording written in advised lengths on a GLib main loop, through the
    authentication check and a device black list, gives the frames (and the
    counters) that vekbs gives."""
    data = read_samples(recording)
    # vekbs's receiver and gain (the library's own default gain is another).
    hub = Iqhub.Hub(receiver="vchan", bit_rate=Iqhub.BIT_RATE_BOTH, int_gain=98.0)
    hub.add_filter(Iqhub.HmacFilter())
    devices = Iqhub.DeviceFilter(mode=Iqhub.DeviceFilterMode.BLACKLIST)
    devices.register_device(BLACK_LISTED)
    hub.add_filter(devices)
    frames, released = [], []
    start = 1_700_000_000.0

    def on_frame(h, frame, user_data):
        assert h is hub and user_data == "frames"
        assert isinstance(frame, Kvrproto.FrameV1)
        frames.append((int(frame.props.timestamp), frame_summary(frame)))
        return True

    # The user data goes with the object: released when it is finalised.
    hub.set_frame_callback_gobject(on_frame, "frames")
    _, advised = hub.start()
    loop = GLib.MainLoop()
    position = 0

    def on_written(h, result, user_data):
        assert h.write_finish(result)
        GLib.idle_add(write_next)

    def write_next():
        nonlocal position
        if position >= len(data):
            GLib.idle_add(loop.quit, priority=GLib.PRIORITY_LOW)
            return GLib.SOURCE_REMOVE
        chunk = data[position:position + advised]
        at = start + position / 4 / 192000
        ok, used = hub.write_async_tv(chunk, at, None, on_written, None)
        assert ok and used == len(chunk)
        if position == 0:
            # One write at a time: the first has not completed (the main loop has not run).
            with pytest.raises(GLib.Error) as excinfo:
                hub.write_async_tv(chunk, at, None, on_written, None)
            assert excinfo.value.matches(Iqhub.ErrorDomain.ERRDOM, Iqhub.ErrorCode.ERR_EAGAIN)
        position += len(chunk)
        return GLib.SOURCE_REMOVE

    timed_out = []

    def time_out():
        timed_out.append(True)
        loop.quit()

    GLib.idle_add(write_next)
    timer = GLib.timeout_add_seconds(60, time_out)
    loop.run()
    GLib.source_remove(timer)
    assert not timed_out and position == len(data)
    assert hub.stop_sync()

    blocked = tmp_path / "blocked"
    blocked.write_text(f"{BLACK_LISTED:#x}\n")
    expected = vekbs_json(recording, "--blacklist", blocked)
    for frame in expected:
        del frame["time"]
    assert [summary for _, summary in frames] == expected
    assert {f["bit_rate"] for f in expected} == {100, 600}
    # Each frame has the time of the write that carried it.
    for seconds, summary in frames:
        assert start <= seconds <= start + 7
    counters = {rate: hub.get_rate_counters(rate)[1] for rate in (100, 600)}
    assert hub.props.frames == len(frames) + 2  # the forged and the black-listed frames
    assert hub.props.frames_drop == 2
    assert counters[600].frames_drop == 2 and counters[100].frames_drop == 0


def test_callbacks_live_until_the_object_is_finalised():
    """(scope notified): the library keeps each callback, with its data, until
    the object is finalised, and its destroy notify then releases them."""

    class Callback:
        def __call__(self, *args):
            return True

    hub, wrapper = Iqhub.Hub(), Iqhub.SynthWrapper()
    callbacks = [Callback(), Callback(), Callback()]
    kept = [weakref.ref(c) for c in callbacks]
    hub.set_frame_callback_gobject(callbacks[0], None)
    hub.set_rfsat_callback(callbacks[1], None)
    wrapper.set_tx_callback(callbacks[2], None)
    del callbacks
    gc.collect()
    assert all(ref() is not None for ref in kept)
    del hub, wrapper
    gc.collect()
    assert all(ref() is None for ref in kept)


def test_synthesis_hands_the_frame_to_the_callback():
    frames = []

    def transmit(wrapper, frame, length, freq, user_data):
        frames.append((bytes(frame), length, freq, user_data))
        return True

    wrapper = Iqhub.SynthWrapper()
    wrapper.set_tx_callback(transmit, "card")
    wrapper.synthesize(0x12AB34, 5, bytes(Iqhub.SYNTH_WRAPPER_MAX_PAYLOAD + 1), 869525000)
    assert frames == []  # refused: nothing is built
    wrapper.synthesize(0x12AB34, 5, bytes.fromhex("c0ffee"), 869525000)
    wrapper.synthesize(0x12AB34, 6, None, 869525000)
    assert [(len(f), n, freq, data) for f, n, freq, data in frames] == \
        [(Iqhub.SYNTH_WRAPPER_FRAME_LEN, 28, 869525000, "card")] * 2
    assert frames[0][0] != frames[1][0]
