"""Fixtures: the built library and a kepra-virtcam daemon in a private device directory.

KEPRA_BUILD_DIR names the CMake build (default: build/linux-debug of the repository);
KEPRA_TEST_INDEX the first of the four device indices the tests may use (default 14).
"""

from __future__ import annotations

import os
import select
import shutil
import subprocess
import tempfile
import time
from pathlib import Path
from typing import Iterator, List, Optional

import pytest

REPO = Path(__file__).resolve().parents[2]
BUILD = Path(os.environ.get("KEPRA_BUILD_DIR", REPO / "build" / "linux-debug"))
VIRTCAM = BUILD / "virtcam" / "kepra-virtcam"
HEADER = REPO / "include" / "kepra" / "kepra.h"
BASE_INDEX = int(os.environ.get("KEPRA_TEST_INDEX", "14"))

if not os.environ.get("KEPRA_LIBRARY") and (BUILD / "src" / "libkepra.so.1").exists():
    os.environ["KEPRA_LIBRARY"] = str(BUILD / "src" / "libkepra.so.1")


def start_daemon(models: List[str], extra: List[str], directory: Path) -> subprocess.Popen:
    """kepra-virtcam serving `models` at BASE_INDEX, BASE_INDEX + 1, ... in `directory`,
    once it printed a line for each camera (its socket listens)."""
    args = [str(VIRTCAM), "--dir", str(directory)]
    for i, model in enumerate(models):
        args += ["--camera", f"{BASE_INDEX + i}:{model}"]
    process = subprocess.Popen(args + extra, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    deadline, output = time.monotonic() + 10, b""
    while output.count(b"kepra-virtcam: camera") < len(models):
        ready, _, _ = select.select([process.stdout], [], [], 0.1)
        data = os.read(process.stdout.fileno(), 4096) if ready else b""
        output += data
        if (ready and not data) or process.poll() is not None or time.monotonic() > deadline:
            stop_daemon(process)
            raise RuntimeError(f"kepra-virtcam did not start: {args}\n{output.decode()}")
    return process


def stop_daemon(process: subprocess.Popen) -> None:
    if process.poll() is None:
        process.terminate()
        try:
            process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
    process.stdout.close()


@pytest.fixture
def virtcam(monkeypatch: pytest.MonkeyPatch) -> Iterator:
    """Starts daemons: `virtcam("4", "7", extra=["--fail-every", "3"])` serves models at indices
    BASE_INDEX, BASE_INDEX + 1, ... (unpaced unless unpaced=False); all stop after the test."""
    if not VIRTCAM.exists():
        pytest.fail(f"{VIRTCAM} is not built (cmake --build --preset linux-debug --target kepra-virtcam kepra)")
    directory = Path(tempfile.mkdtemp(prefix="kepra-py-"))
    monkeypatch.setenv("KEPRA_DEVICE_DIR", str(directory))
    started: List[subprocess.Popen] = []

    def start(*models: str, extra: Optional[List[str]] = None, unpaced: bool = True) -> None:
        options = list(extra or []) + (["--unpaced"] if unpaced else [])
        started.append(start_daemon(list(models), options, directory))

    yield start
    for process in started:
        stop_daemon(process)
    shutil.rmtree(directory, ignore_errors=True)


@pytest.fixture
def cam(virtcam):
    """Camera BASE_INDEX of a fresh unpaced mono 1280 x 1024 virtual camera, opened."""
    import kepra

    virtcam("4")
    with kepra.open(BASE_INDEX) as camera:
        yield camera
