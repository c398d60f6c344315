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
    done = subprocess.run([sys.executable, str(EXAMPLES / script), "--device", str(BASE_INDEX), *args],
                          cwd=cwd, env=env, capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    return done.stdout


def test_grab_and_save(virtcam, tmp_path):
    virtcam("7")
    assert "1600x1200, 10 bits" in run("grab_save.py", "--exposure-ms", "20", "--out", "shot", cwd=tmp_path)
    saved = np.load(tmp_path / "shot.npy")
    assert saved.dtype == np.uint16 and saved.shape == (1200, 1600)
    # The PGM decoded by hand: header tokens, then big-endian samples.
    data = (tmp_path / "shot.pgm").read_bytes()
    header = re.match(rb"P5\s+1600\s+1200\s+1023\s", data)
    assert header and len(data) == header.end() + saved.size * 2
    np.testing.assert_array_equal(np.frombuffer(data[header.end():], ">u2").reshape(1200, 1600), saved)


def test_histogram_loop_prints_once_a_second(virtcam, tmp_path):
    virtcam("4")
    lines = run("histogram.py", "--seconds", "2.5", "--bins", "4", cwd=tmp_path).splitlines()
    assert len(lines) == 2
    for line in lines:
        rate, shares = re.fullmatch(r"\s*([\d.]+) fps, \d+ missed \| (.*)", line).groups()
        percentages = [float(s.rstrip("%")) for s in shares.split()]
        assert float(rate) > 0 and len(percentages) == 4 and abs(sum(percentages) - 100) < 0.5
