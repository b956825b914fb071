# SPDX-License-Identifier: GPL-2.0-or-later
"""The station's web view, from outside: the page in headless Chromium, /metrics
through Prometheus' own text parser, the JSON API, and hostile clients.

Run by ctest as `python3 http_test.py CLASS` with VEKBS, VEKGEN and SHOT_DIR in
the environment. Each class starts vekbs on a recording with --http on a free
port, as an operator would, and stops it with SIGTERM."""

import base64
import json
import os
import re
import select
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import urllib.error
import urllib.request

VEKBS = os.environ.get("VEKBS", "vekbs")
VEKGEN = os.environ.get("VEKGEN", "vekgen")
SHOT_DIR = os.environ.get("SHOT_DIR", ".")
CHROMIUM = "/usr/bin/chromium"
CHROMEDRIVER = "/usr/bin/chromedriver"

# Signed frames at both rates across the band, one of them forged (the
# station drops it); 12 s of signal.
FRAMES = [
    "at=0.3 rate=100 dev=0x10A1 seq=1 payload=c0ffee freq=-61000",
    "at=2.9 rate=100 dev=0x10A2 seq=7 payload=2a freq=12345",
    "at=5.6 rate=100 dev=0x10A3 seq=12 payload= freq=71250",
    "at=8.2 rate=600 dev=0x10A1 seq=2 payload=17 freq=-750",
    "at=8.8 rate=600 dev=0x10A2 seq=8 payload=beef freq=-30500",
    "at=9.4 rate=600 dev=0x10A3 seq=13 payload=0102030405 freq=33000",
    "at=10.0 rate=600 dev=0x10A1 seq=3 payload=deadbeef freq=20000 forge=1",
    "at=10.6 rate=600 dev=0x10A2 seq=9 payload=00112233 freq=-15000",
]
SECONDS = 12
# A packet at 600 bit/s, the shorter of the receiver's: the longest the main
# loop may work without coming back to its events.
PACKET_SECONDS = 2560 / 192000
# Sanitized debug builds run the same code several times slower; there the
# bound only catches a loop that blocks, not one that is merely instrumented.
LOOP_BOUND_SECONDS = PACKET_SECONDS * float(os.environ.get("VEK_SLOWDOWN", "1"))


def make_recording(directory, name, frames, seconds):
    base = os.path.join(directory, name)
    args = [VEKGEN, "-o", base, "--duration", str(seconds)]
    for f in frames:
        args += ["-f", f]
    subprocess.run(args, check=True, stdout=subprocess.DEVNULL)
    return base


def reference_frames(recording):
    """What vekbs --json delivers for the recording, without the web view."""
    out = subprocess.run([VEKBS, "--fast", "--json", recording], check=True,
                         capture_output=True, text=True).stdout
    return [json.loads(line) for line in out.splitlines()]


class Station:
    """vekbs --http 127.0.0.1:0 on a recording; the port it took from stderr."""

    def __init__(self, recording, fast=True, extra=()):
        self.out = tempfile.TemporaryFile(mode="w+")
        args = [VEKBS, "--json", "--http", "127.0.0.1:0", *extra, recording]
        if fast:
            args.insert(1, "--fast")
        self.proc = subprocess.Popen(args, stdout=self.out, stderr=subprocess.PIPE, text=True)
        self.stderr = []
        self.url = None
        deadline = time.monotonic() + 30
        while self.url is None and time.monotonic() < deadline:
            line = self.proc.stderr.readline()
            if not line:
                break
            self.stderr.append(line)
            m = re.search(r"the station's page: (http://\S+/)", line)
            if m:
                self.url = m.group(1)
        if self.url is None:
            self.proc.kill()
            raise AssertionError("vekbs did not say where it serves: " + "".join(self.stderr))
        self.port = int(self.url.rsplit(":", 1)[1].rstrip("/"))
        self.reader = threading.Thread(target=self._drain, daemon=True)
        self.reader.start()

    def _drain(self):
        for line in self.proc.stderr:
            self.stderr.append(line)

    def ran(self):
        """Whether the recording has run (vekbs serves on until stopped)."""
        return any("the recording has run" in line for line in self.stderr)

    def wait_ran(self, timeout=120):
        deadline = time.monotonic() + timeout
        while not self.ran():
            if time.monotonic() > deadline or self.proc.poll() is not None:
                raise AssertionError("the recording did not finish: " + "".join(self.stderr))
            time.sleep(0.1)

    def statistics(self):
        for line in self.stderr:
            if line.startswith('{"statistics"'):
                return json.loads(line)["statistics"]
        raise AssertionError("no statistics on stderr")

    def frames(self):
        self.out.seek(0)
        return [json.loads(line) for line in self.out.read().splitlines()]

    def get(self, path, timeout=10):
        with urllib.request.urlopen(self.url.rstrip("/") + path, timeout=timeout) as r:
            return r.status, r.headers, r.read()

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
        status = self.proc.wait(timeout=30)
        self.reader.join(timeout=5)
        return status


def metric_families(text):
    from prometheus_client.parser import text_string_to_metric_families
    return {f.name: f for f in text_string_to_metric_families(text)}


def sample(families, name, **labels):
    for family in families.values():
        for s in family.samples:
            if s.name == name and all(s.labels.get(k) == v for k, v in labels.items()):
                return s.value
    raise AssertionError(f"no sample {name} {labels}")


def websocket(port, read=True, rcvbuf=None, origin=None):
    """A WebSocket client on /ws, by hand: the upgrade, then raw frames."""
    s = socket.socket()
    if rcvbuf is not None:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
    s.connect(("127.0.0.1", port))
    key = base64.b64encode(os.urandom(16)).decode()
    s.sendall((f"GET /ws HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\nUpgrade: websocket\r\n"
               f"Connection: Upgrade\r\nSec-WebSocket-Key: {key}\r\n"
               "Sec-WebSocket-Version: 13\r\n"
               + (f"Origin: {origin}\r\n" if origin else "") + "\r\n").encode())
    if read:
        head = b""
        while b"\r\n\r\n" not in head:
            chunk = s.recv(1)
            if not chunk:
                raise AssertionError("the WebSocket upgrade was refused")
            head += chunk
        assert head.startswith(b"HTTP/1.1 101"), head
    return s


def read_messages(s, seconds):
    """The text messages that arrive within @seconds (unmasked server frames)."""
    s.setblocking(False)
    data = b""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        ready, _, _ = select.select([s], [], [], 0.1)
        if ready:
            chunk = s.recv(65536)
            if not chunk:
                break
            data += chunk
    messages = []
    while len(data) >= 2:
        n = data[1] & 0x7F
        at = 2
        if n == 126:
            n, at = int.from_bytes(data[2:4], "big"), 4
        elif n == 127:
            n, at = int.from_bytes(data[2:10], "big"), 10
        if len(data) < at + n:
            break
        if data[0] & 0x0F == 1:
            messages.append(json.loads(data[at:at + n]))
        data = data[at + n:]
    return messages


class Recording(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.TemporaryDirectory()
        cls.recording = make_recording(cls.dir.name, "band", FRAMES, SECONDS)
        cls.expected = reference_frames(cls.recording)

    @classmethod
    def tearDownClass(cls):
        cls.dir.cleanup()

    def key(self, f):
        return (f["bit_rate"], f["device_id"], f["seq"], f["payload"])


class Page(Recording):
    """The page in a real browser, while the recording plays in real time."""

    def test_page_shows_the_band_the_frames_and_the_status_live(self):
        for path in (CHROMIUM, CHROMEDRIVER):
            self.assertTrue(os.access(path, os.X_OK),
                            f"{path} is missing: install Debian's chromium and chromium-driver")
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service

        self.assertEqual(len(self.expected), len(FRAMES) - 1, "the forged frame is dropped")
        station = Station(self.recording, fast=False)
        profile = tempfile.TemporaryDirectory()
        options = webdriver.ChromeOptions()
        options.binary_location = CHROMIUM
        for a in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                  "--no-first-run", "--disable-background-networking",
                  "--disable-component-update", "--disable-sync", "--window-size=1640,1180",
                  "--user-data-dir=" + profile.name):
            options.add_argument(a)
        options.set_capability("goog:loggingPrefs", {"browser": "ALL", "performance": "ALL"})
        driver = webdriver.Chrome(service=Service(CHROMEDRIVER), options=options)
        try:
            driver.get(station.url)
            # Live: the frames arrive while the page is open, the last one
            # about 11 s in.
            deadline = time.monotonic() + 90
            state = None
            while time.monotonic() < deadline:
                state = driver.execute_script(
                    "const c = document.getElementById('waterfall');"
                    "return {marks: Number(c.dataset.marks || 0), lines: Number(c.dataset.lines || 0),"
                    " rows: Array.from(document.querySelectorAll('#frames tbody tr')).map("
                    "   r => Array.from(r.cells).map(c => c.textContent)),"
                    " state: document.getElementById('state').textContent};")
                if (len(state["rows"]) == len(self.expected) and state["state"] == "offline"
                        and state["marks"] == len(self.expected)):
                    break
                time.sleep(0.25)
            self.assertTrue(station.ran(), "the recording ran out in real time")
            # The table holds what --json delivers: rate, device, seq, payload.
            header = ["time", "rate", "device", "seq", "payload", "freq (Hz)", "rssi (dB)",
                      "snr (dB)", "combined"]
            shown = driver.execute_script(
                "return Array.from(document.querySelectorAll('#frames thead th')).map(h => h.textContent)")
            self.assertEqual(shown, header)
            table = sorted((int(r[1]), int(r[2], 16), int(r[3]), r[4]) for r in state["rows"])
            self.assertEqual(table, sorted(self.key(f) for f in self.expected))
            freqs = sorted(round(float(r[5])) for r in state["rows"])
            self.assertEqual(freqs, sorted(round(f["freq_hz"]) for f in self.expected))
            # The waterfall: every line of the recording drawn, a ring on each frame.
            self.assertGreaterEqual(state["lines"], SECONDS * 4 - 1)
            self.assertEqual(state["marks"], len(self.expected))
            painted = driver.execute_script(
                "const c = document.getElementById('waterfall');"
                "const d = c.getContext('2d').getImageData(84, 12, 1024, 480).data;"
                "let lit = 0, cyan = 0;"
                "for (let i = 0; i < d.length; i += 4) {"
                "  if (d[i] + d[i + 1] + d[i + 2] > 30) lit++;"
                "  if (d[i] === 0 && d[i + 1] === 255 && d[i + 2] === 255) cyan++; }"
                "return {lit, cyan};")
            self.assertGreater(painted["lit"], 1024 * 100, "the band is drawn")
            self.assertGreater(painted["cyan"], 30 * len(self.expected), "the rings are drawn")
            status = driver.execute_script("return document.getElementById('counters').textContent")
            self.assertIn("100 bit/s", status)
            self.assertIn("600 bit/s", status)
            os.makedirs(SHOT_DIR, exist_ok=True)
            driver.save_screenshot(os.path.join(SHOT_DIR, "vekbs-page.png"))
            # Nothing failed, nothing was logged as an error.
            errors = [e for e in driver.get_log("browser") if e["level"] == "SEVERE"]
            self.assertEqual(errors, [])
            # (The browser's own requests without a network, such as its
            # start page's, are not the page's.)
            urls, failed, requested = {}, [], []
            for entry in driver.get_log("performance"):
                m = json.loads(entry["message"])["message"]
                p = m["params"]
                if m["method"] == "Network.requestWillBeSent":
                    urls[p["requestId"]] = p["request"]["url"]
                    requested.append(p["request"]["url"])
                elif m["method"] == "Network.loadingFailed":
                    failed.append((urls.get(p["requestId"], "?"), p["errorText"]))
                elif m["method"] == "Network.responseReceived" and p["response"]["status"] >= 400:
                    failed.append((p["response"]["url"], p["response"]["status"]))
            ours = [f for f in failed if f[0].startswith(station.url)]
            self.assertEqual(ours, [], failed)
            self.assertIn(station.url, requested)
            self.assertTrue(all(u.startswith(station.url) or not u.startswith("http")
                                for u in requested if u != "?"), requested)
        finally:
            driver.quit()
            profile.cleanup()
            self.assertEqual(station.stop(), 0)


class Api(Recording):
    """/metrics through Prometheus' parser, and the JSON API."""

    def test_metrics_and_api_agree_with_the_final_statistics(self):
        station = Station(self.recording)
        try:
            station.wait_ran()
            self.assertEqual(sorted(map(self.key, station.frames())),
                             sorted(map(self.key, self.expected)))
            final = {s["bit_rate"]: s for s in station.statistics()}
            status, headers, body = station.get("/metrics")
            self.assertEqual(status, 200)
            self.assertTrue(headers["Content-Type"].startswith("text/plain; version=0.0.4"))
            families = metric_families(body.decode())
            for rate, s in final.items():
                self.assertEqual(sample(families, "vekbs_frames_total", bit_rate=str(rate)), s["frames"])
                for member, cause in (("frames_drop", "filter"), ("frames_error_ts", "no_time"),
                                      ("frames_error_syntax", "unreadable")):
                    self.assertEqual(sample(families, "vekbs_frames_dropped_total",
                                            bit_rate=str(rate), cause=cause), s[member])
            self.assertEqual(sum(s["frames"] - s["frames_drop"] for s in final.values()),
                             len(self.expected))
            self.assertAlmostEqual(sample(families, "vekbs_signal_seconds_total"), SECONDS, places=2)
            self.assertEqual(families["vekbs_uplink_latency_seconds"].type, "summary")
            floors = [s for s in families["vekbs_noise_floor_decibels"].samples]
            self.assertEqual(len(floors), 8)
            for s in floors:
                self.assertTrue(-140 < s.value < -60, s)
            self.assertEqual(sample(families, "vekbs_online"), 0)
            self.assertGreaterEqual(sample(families, "vekbs_waterfall_lines_total"), SECONDS * 4)
            for name, family in families.items():
                self.assertRegex(name, r"^(vekbs|process)_[a-z0-9_]+$")
                if family.type == "counter":
                    self.assertTrue(all(s.name.endswith("_total") or s.name.endswith("_created")
                                        for s in family.samples), name)

            # /api/status: the status topic's object.
            status, _, body = station.get("/api/status")
            st = json.loads(body)
            self.assertEqual(st["state"], "offline")
            self.assertEqual({r["bit_rate"]: r["frames"] for r in st["statistics"]["rates"]},
                             {r: s["frames"] for r, s in final.items()})
            # /api/frames: the up topic's objects, from a frame number on.
            _, _, body = station.get("/api/frames?since=0")
            frames = json.loads(body)
            self.assertEqual((frames["first"], frames["next"]), (0, len(self.expected)))
            self.assertEqual(sorted(map(self.key, frames["frames"])), sorted(map(self.key, self.expected)))
            self.assertEqual(set(frames["frames"][0]), set(self.expected[0]))
            _, _, body = station.get(f"/api/frames?since={len(self.expected) - 2}")
            self.assertEqual(json.loads(body)["frames"], frames["frames"][-2:])
            _, _, body = station.get(f"/api/frames?since={len(self.expected)}")
            self.assertEqual(json.loads(body)["frames"], [])
            for bad in ("abc", "-1", "1e3", "99999999999999999999999", ""):
                with self.assertRaises(urllib.error.HTTPError) as e:
                    station.get("/api/frames?since=" + bad)
                self.assertEqual(e.exception.code, 400, bad)
        finally:
            self.assertEqual(station.stop(), 0)


class Hostile(Recording):
    """Bad requests, huge headers, many slow clients and a WebSocket client that
    never reads, while the station runs: it keeps receiving, its memory stays
    bounded, its main loop is never held longer than a packet's time."""

    def test_station_keeps_receiving_under_hostile_clients(self):
        station = Station(self.recording, fast=False)
        sockets = []
        try:
            # Huge headers, bad paths, methods that would change something:
            # each one refused, none answered with a page.
            for request in (
                b"GET / HTTP/1.1\r\nHost: x\r\nX-Big: " + b"a" * 2_000_000 + b"\r\n\r\n",
                b"GET /../../etc/passwd HTTP/1.1\r\nHost: x\r\n\r\n",
                b"GET /%2e%2e/%00 HTTP/1.1\r\nHost: x\r\n\r\n",
                b"GET " + b"/a" * 20000 + b" HTTP/1.1\r\nHost: x\r\n\r\n",
                b"POST /api/status HTTP/1.1\r\nHost: x\r\nContent-Length: 100000000\r\n\r\n"
                + b"x" * 65536,
                b"DELETE /metrics HTTP/1.1\r\nHost: x\r\n\r\n",
                b"\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03" + os.urandom(64),
                b"GET / HTTP/9.9\r\n\r\n",
            ):
                status = self.bad_request(station.port, request)
                self.assertTrue(status in (b"", b"505") or status.startswith(b"4"), (request[:60], status))
            self.assertEqual(station.get("/")[0], 200)
            # Another site's page may not read the station through a browser.
            foreign = websocket(station.port, origin="http://elsewhere.example")
            self.assertEqual(self.close_code(foreign), 1008)
            foreign.close()
            # A WebSocket client that never reads, with the smallest buffer.
            sockets.append(websocket(station.port, read=False, rcvbuf=1024))
            # One that reads: it gets the view and then the news.
            reader = websocket(station.port)
            sockets.append(reader)
            # Many slow clients: a request begun, then nothing more.
            for _ in range(100):
                s = socket.socket()
                s.connect(("127.0.0.1", station.port))
                s.sendall(b"GET / HTTP/1.1\r\nHost: x\r\nX-Slow: ")
                sockets.append(s)
            messages = read_messages(reader, 3)
            kinds = [m["type"] for m in messages]
            self.assertEqual(kinds[0], "hello")
            self.assertIn("line", kinds)
            self.assertIn("status", kinds)
            station.wait_ran(timeout=120)
            # Every frame delivered, as without the clients.
            self.assertEqual(sorted(map(self.key, station.frames())),
                             sorted(map(self.key, self.expected)))
            # The slow clients and the one that does not read are cut in time.
            deadline = time.monotonic() + 40
            while True:
                families = metric_families(self.metrics(station))
                if (sample(families, "vekbs_http_timed_out_connections_total") >= 60
                        and sample(families, "vekbs_websocket_clients") <= 1) or time.monotonic() > deadline:
                    break
                time.sleep(1)
            self.assertGreater(sample(families, "vekbs_http_refused_connections_total"), 0)
            self.assertGreaterEqual(sample(families, "vekbs_http_timed_out_connections_total"), 60)
            self.assertLessEqual(sample(families, "vekbs_websocket_clients"), 1)
            self.assertGreater(sample(families, "vekbs_websocket_withheld_updates_total"), 0)
            self.assertLess(sample(families, "process_resident_memory_bytes"), 256 << 20)
            self.assertLess(sample(families, "vekbs_main_loop_longest_iteration_seconds"),
                            LOOP_BOUND_SECONDS)
        finally:
            for s in sockets:
                s.close()
            self.assertEqual(station.stop(), 0)

    @staticmethod
    def bad_request(port, request):
        """Sends @request; the status the station answers with (b"" if it closes)."""
        s = socket.create_connection(("127.0.0.1", port), timeout=10)
        try:
            try:
                s.sendall(request)
            except (BrokenPipeError, ConnectionResetError):
                pass
            answer = b""
            try:
                while b"\r\n" not in answer:
                    chunk = s.recv(4096)
                    if not chunk:
                        break
                    answer += chunk
            except (ConnectionResetError, socket.timeout):
                pass
            return answer[9:12]
        finally:
            s.close()

    @staticmethod
    def close_code(s):
        """The code of the close frame the station sends first."""
        s.settimeout(10)
        head = s.recv(2)
        assert head[0] & 0x0F == 8, head
        body = s.recv(head[1] & 0x7F)
        return int.from_bytes(body[:2], "big")

    @staticmethod
    def metrics(station):
        """/metrics, once the station takes a new connection again."""
        deadline = time.monotonic() + 30
        while True:
            try:
                return station.get("/metrics", timeout=5)[2].decode()
            except (urllib.error.URLError, ConnectionError, socket.timeout):
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.5)


if __name__ == "__main__":
    unittest.main(verbosity=2)
