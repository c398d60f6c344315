"""Where the library is found: KEPRA_LIBRARY, beside the package, or the system's path."""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
from pathlib import Path

import kepra

PACKAGE = Path(kepra.__file__).resolve().parent

PROBE = "import kepra; print(kepra.library().path)"


def run(env: dict, cwd: Path) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, "-c", PROBE], env=env, cwd=cwd, capture_output=True, text=True)


def test_library_beside_the_package_is_found_without_settings(tmp_path):
    built = Path(os.environ["KEPRA_LIBRARY"])
    copy = tmp_path / "kepra"
    shutil.copytree(PACKAGE, copy, ignore=shutil.ignore_patterns("__pycache__"))
    shutil.copy(built, copy / "libkepra.so.1")
    env = {k: v for k, v in os.environ.items() if k not in ("KEPRA_LIBRARY", "LD_LIBRARY_PATH")}
    env["PYTHONPATH"] = str(tmp_path)
    done = run(env, tmp_path)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == str(copy / "libkepra.so.1")


def test_kepra_library_names_the_file_and_a_missing_one_is_an_error(tmp_path):
    env = dict(os.environ)
    env["PYTHONPATH"] = str(PACKAGE.parent)
    done = run(env, tmp_path)
    assert done.returncode == 0 and done.stdout.strip() == os.environ["KEPRA_LIBRARY"]
    env["KEPRA_LIBRARY"] = str(tmp_path / "nowhere" / "libkepra.so.1")
    done = run(env, tmp_path)
    assert done.returncode != 0
    # No silent fallback to another copy: the error names the file asked for.
    assert "cannot load the kepra library" in done.stderr and str(tmp_path / "nowhere") in done.stderr
