"""The two examples run as a user would run them, against a virtual camera."""

from __future__ import annotations

import os
import re
import subprocess
import sys
from pathlib import Path

import numpy as np

from conftest import BASE_INDEX

EXAMPLES = Path(__file__).resolve().parents[1] / "examples"


def run(script: str, *args: str, cwd: Path) -> str:
    env = dict(os.environ)
    if not env.get("KEPRA_EXPECT_INSTALLED"):
        env["PYTHONPATH"] = str(EXAMPLES.parent)
    done = subprocess.run(
        [sys.executable, str(EXAMPLES / script), "--device", str(BASE_INDEX), *args],
        cwd=cwd, env=env, capture_output=True, text=True, timeout=60,
    )
    assert done.returncode == 0, done.stderr
    return done.stdout


def read_pgm(path: Path) -> np.ndarray:
    """A binary PGM decoded by hand: header tokens, then big-endian samples above 255."""
    data = path.read_bytes()
    tokens = re.match(rb"P5\s+(\d+)\s+(\d+)\s+(\d+)\s", data)
    width, height, maxval = (int(t) for t in tokens.groups())
    body = data[tokens.end():]
    dtype = ">u2" if maxval > 255 else "u1"
    assert len(body) == width * height * np.dtype(dtype).itemsize
    return np.frombuffer(body, dtype).reshape(height, width), maxval


def test_grab_and_save(virtcam, tmp_path):
    virtcam("7")
    out = run("grab_save.py", "--exposure-ms", "20", "--out", "shot", cwd=tmp_path)
    assert "1600x1200, 10 bits" in out
    saved = np.load(tmp_path / "shot.npy")
    image, maxval = read_pgm(tmp_path / "shot.pgm")
    assert saved.dtype == np.uint16 and saved.shape == (1200, 1600)
    assert maxval == 1023 and image.max() <= maxval
    np.testing.assert_array_equal(image, saved)
    run("grab_save.py", "--depth", "8", "--out", "small", cwd=tmp_path)
    image8, maxval8 = read_pgm(tmp_path / "small.pgm")
    assert maxval8 == 255 and image8.shape == (1200, 1600)


def test_histogram_loop_prints_once_a_second(virtcam, tmp_path):
    virtcam("4")
    out = run("histogram.py", "--seconds", "2.5", "--bins", "4", cwd=tmp_path)
    lines = out.splitlines()
    assert len(lines) == 2
    for line in lines:
        rate, shares = re.fullmatch(r"\s*([\d.]+) fps, \d+ missed \| (.*)", line).groups()
        assert float(rate) > 0
        percentages = [float(s.rstrip("%")) for s in shares.split()]
        assert len(percentages) == 4 and abs(sum(percentages) - 100) < 0.5
