"""The package as pip installs it: the in-tree backend's wheel and the installed copy."""

from __future__ import annotations

import importlib.util
import os
import re
import sys
import zipfile
from pathlib import Path

import pytest

import kepra

ROOT = Path(__file__).resolve().parents[1]


@pytest.fixture(scope="module")
def backend():
    found = importlib.util.spec_from_file_location("kepra_backend", ROOT / "_build" / "kepra_backend.py")
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


def test_wheel_holds_the_package_and_its_metadata(backend, tmp_path):
    assert backend.get_requires_for_build_wheel() == []
    name = backend.build_wheel(str(tmp_path))
    project = (ROOT / "pyproject.toml").read_text()
    version = re.search(r'^version = "([^"]+)"', project, re.M).group(1)
    assert name == f"kepra-{version}-py3-none-any.whl"
    with zipfile.ZipFile(tmp_path / name) as wheel:
        names = set(wheel.namelist())
        sources = {p.relative_to(ROOT).as_posix() for p in (ROOT / "kepra").glob("*.py")}
        assert sources | {"kepra/py.typed"} <= names
        metadata = wheel.read(f"kepra-{version}.dist-info/METADATA").decode()
        assert f"Version: {version}\n" in metadata and "Requires-Dist: numpy\n" in metadata
        record = wheel.read(f"kepra-{version}.dist-info/RECORD").decode().splitlines()
        assert {line.split(",")[0] for line in record} == names
        assert not any("__pycache__" in n or "tests/" in n for n in names)
    assert kepra.__version__ == version


@pytest.mark.skipif(not os.environ.get("KEPRA_EXPECT_INSTALLED"), reason="run by scripts/test-python.sh")
def test_tests_run_against_the_installed_copy():
    installed = Path(kepra.__file__).resolve()
    assert ROOT not in installed.parents
    assert Path(sys.prefix) in installed.parents
    assert (installed.parent / "py.typed").exists()
