# SPDX-License-Identifier: GPL-2.0-or-later
"""Shared set-up of the Python tests: the typelibs (of a build tree or the
installed ones), the project's programs, and a recording.

Environment:
  VEK_TYPELIB_DIR  the directory the typelibs must come from: the build tree's
                   gir/ (ctest sets it, with GI_TYPELIB_PATH and LD_LIBRARY_PATH),
                   or the system's girepository-1.0 for the installed packages
  VEK_LIBRARY_DIR  the directory libiqhub.so.1 must come from
  VEKBS, VEKGEN, VEKEMU
                   the programs (default: found on PATH)
  VEK_EXAMPLES     the directory of the Python examples (default: examples/python)
"""

import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import gi

for _namespace in ("Iqhub", "Kvrproto", "Kvrlog", "Xvek"):
    gi.require_version(_namespace, "1.0")
from gi.repository import Iqhub, Kvrlog, Kvrproto, Xvek  # noqa: E402,F401

TOP = Path(__file__).resolve().parents[2]

# The recording the tests share: signed frames at both rates across the band,
# one from a device the tests black-list, one with a forged code.
RECORDING_FRAMES = [
    "at=0.2 rate=100 dev=0x12AB35 seq=6 payload=01 freq=15000",
    "at=0.3 rate=600 dev=0x12AB34 seq=5 payload=c0ffee freq=-20000",
    "at=1.0 rate=600 dev=0x12AB37 seq=4095 freq=40000",
    "at=1.4 rate=600 dev=0xBAD0017 seq=7 payload=0badf00d freq=-60000",
    "at=2.0 rate=600 dev=0x12AB36 seq=8 payload=aa forge=1 freq=-50000",
    "at=3.0 rate=100 dev=0x1 seq=1 payload=0102030405060708090a0b0c freq=60000 power=50",
]
RECORDING_SECONDS = 7
BLACK_LISTED = 0xBAD0017


def program(name):
    path = os.environ.get(name.upper()) or shutil.which(name)
    if not path:
        pytest.fail(f"{name} not found (set {name.upper()} or PATH)")
    return path


def run(args, **kwargs):
    """Runs a program; its standard output, which must be UTF-8 text."""
    result = subprocess.run([str(a) for a in args], capture_output=True, text=True,
                            timeout=120, **kwargs)
    assert result.returncode == 0, f"{args} exited {result.returncode}: {result.stderr}"
    return result.stdout


def json_lines(text):
    return [json.loads(line) for line in text.splitlines() if line.strip()]


def loaded_library(stem):
    """The path this process mapped lib<stem>.so.N from."""
    with open("/proc/self/maps", encoding="utf-8") as maps:
        for line in maps:
            path = line.split()[-1]
            if os.path.basename(path).startswith(f"lib{stem}.so"):
                return os.path.realpath(path)
    return None


def pytest_sessionstart(session):
    """The typelibs and the libraries come from where they are expected: the
    build tree under ctest, the system for the package test."""
    expected = os.environ.get("VEK_TYPELIB_DIR")
    if not expected:
        raise pytest.UsageError("set VEK_TYPELIB_DIR to the directory of the typelibs under test")
    repository = gi.Repository.get_default()
    for namespace in ("Iqhub", "Kvrproto", "Kvrlog", "Xvek"):
        path = repository.get_typelib_path(namespace)
        if os.path.dirname(os.path.realpath(path)) != os.path.realpath(expected):
            raise pytest.UsageError(f"{namespace} comes from {path}, not from {expected}")
    Iqhub.Hub()  # maps the library
    library_dir = os.environ.get("VEK_LIBRARY_DIR")
    mapped = loaded_library("iqhub")
    if library_dir and (mapped is None or
                        os.path.dirname(mapped) != os.path.realpath(library_dir)):
        raise pytest.UsageError(f"libiqhub comes from {mapped}, not from {library_dir}")


@pytest.fixture(scope="session")
def examples():
    return Path(os.environ.get("VEK_EXAMPLES", TOP / "examples" / "python"))


@pytest.fixture(scope="session")
def python():
    """The interpreter running the tests runs the examples too."""
    return sys.executable


@pytest.fixture(scope="session")
def recording(tmp_path_factory):
    """The recording's base name (BASE.sigmf-meta, BASE.sigmf-data)."""
    base = tmp_path_factory.mktemp("recording") / "uplink"
    args = [program("vekgen"), "-o", base, "-d", RECORDING_SECONDS]
    for frame in RECORDING_FRAMES:
        args += ["-f", frame]
    run(args)
    return base


def vekbs_json(recording, *options):
    """The frames `vekbs --fast --json` delivers from the recording."""
    return json_lines(run([program("vekbs"), "--fast", "--json", *options, recording]))
