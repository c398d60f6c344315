"""Where the library is found: KEPRA_LIBRARY, beside the package, or the system's path."""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
from pathlib import Path

import kepra

PACKAGE = Path(kepra.__file__).resolve().parent


def test_library_beside_the_package_unless_kepra_library_names_one(tmp_path):
    built = Path(os.environ["KEPRA_LIBRARY"])
    beside = tmp_path / "kepra" / "libkepra.so.1"
    shutil.copytree(PACKAGE, beside.parent, ignore=shutil.ignore_patterns("__pycache__"))
    shutil.copy(built, beside)
    env = {k: v for k, v in os.environ.items() if k not in ("KEPRA_LIBRARY", "LD_LIBRARY_PATH")}
    env["PYTHONPATH"] = str(tmp_path)
    missing = tmp_path / "nowhere" / "libkepra.so.1"
    for named, found in [(None, beside), (built, built), (missing, None)]:
        done = subprocess.run([sys.executable, "-c", "import kepra; print(kepra.library().path)"],
                              env=dict(env, **({"KEPRA_LIBRARY": str(named)} if named else {})),
                              cwd=tmp_path, capture_output=True, text=True)
        if found:
            assert (done.returncode, done.stdout.strip()) == (0, str(found)), done.stderr
        else:
            # No silent fallback to the copy beside the package: the error names the file asked for.
            assert done.returncode != 0 and "cannot load the kepra library" in done.stderr
            assert str(missing) in done.stderr
