"""Fixtures: the built library and a kepra-virtcam daemon in a private device directory.

KEPRA_BUILD_DIR names the CMake build (default: build/linux-debug of the repository);
KEPRA_TEST_INDEX the first of the four device indices the tests may use (default 14).
"""

from __future__ import annotations

import os
import select
import shutil
import signal
import subprocess
import tempfile
import time
from pathlib import Path
from typing import Iterator, List, Optional

import pytest

REPO = Path(__file__).resolve().parents[2]
BUILD = Path(os.environ.get("KEPRA_BUILD_DIR", REPO / "build" / "linux-debug"))
VIRTCAM = BUILD / "virtcam" / "kepra-virtcam"
LIBRARY = BUILD / "src" / "libkepra.so.1"
HEADER = REPO / "include" / "kepra" / "kepra.h"
BASE_INDEX = int(os.environ.get("KEPRA_TEST_INDEX", "14"))

if not os.environ.get("KEPRA_LIBRARY") and LIBRARY.exists():
    os.environ["KEPRA_LIBRARY"] = str(LIBRARY)

SOCKET_PREFIX = "90bcde2c-e6de-4cf2-b43c-d0850c4d47"


class Daemon:
    """A running kepra-virtcam serving `cameras` (index, model) in its own directory."""

    def __init__(self, cameras: List[tuple], extra: List[str], directory: Path) -> None:
        self.directory = directory
        self.cameras = cameras
        args = [str(VIRTCAM), "--dir", str(directory)]
        for index, model in cameras:
            args += ["--camera", f"{index}:{model}"]
        self.process = subprocess.Popen(args + extra, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        # Each camera is served once the daemon has printed its line (its socket listens).
        deadline = time.monotonic() + 10
        output = b""
        while output.count(b"kepra-virtcam: camera") < len(cameras):
            ready, _, _ = select.select([self.process.stdout], [], [], 0.1)
            data = os.read(self.process.stdout.fileno(), 4096) if ready else b""
            output += data
            if (ready and not data) or self.process.poll() is not None or time.monotonic() > deadline:
                self.stop()
                raise RuntimeError(f"kepra-virtcam did not start: {args}\n{output.decode()}")

    def trigger(self) -> None:
        """Triggers every camera in snapshot mode."""
        self.process.send_signal(signal.SIGUSR1)

    def stop(self) -> None:
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        if self.process.stdout:
            self.process.stdout.close()


@pytest.fixture
def virtcam(monkeypatch: pytest.MonkeyPatch) -> Iterator:
    """Starts daemons: `virtcam("4", "7", extra=["--unpaced"])` serves models at indices
    BASE_INDEX, BASE_INDEX + 1, ...; all are stopped after the test."""
    if not VIRTCAM.exists():
        pytest.fail(f"{VIRTCAM} is not built (cmake --build --preset linux-debug --target kepra-virtcam kepra)")
    directory = Path(tempfile.mkdtemp(prefix="kepra-py-"))
    monkeypatch.setenv("KEPRA_DEVICE_DIR", str(directory))
    started: List[Daemon] = []

    def start(*models: str, extra: Optional[List[str]] = None, unpaced: bool = True) -> Daemon:
        cameras = [(BASE_INDEX + i, m) for i, m in enumerate(models or ("4",))]
        options = list(extra or []) + (["--unpaced"] if unpaced else [])
        daemon = Daemon(cameras, options, directory)
        started.append(daemon)
        return daemon

    yield start
    for daemon in started:
        daemon.stop()
    shutil.rmtree(directory, ignore_errors=True)


@pytest.fixture
def cam(virtcam):
    """Camera BASE_INDEX of a fresh unpaced mono 1280 x 1024 virtual camera, opened."""
    import kepra

    virtcam("4")
    with kepra.open(BASE_INDEX) as camera:
        yield camera
