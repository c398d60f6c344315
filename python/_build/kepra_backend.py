"""A PEP 517 build backend that needs nothing beyond the standard library.

It builds a pure-Python wheel of the `kepra` package (and an sdist) with zipfile, so that pip
installs the package from this directory without downloading a backend. The package's
metadata is kept here, beside the version in pyproject.toml, which a test compares.
"""

from __future__ import annotations

import base64
import hashlib
import os
import tarfile
import zipfile
from pathlib import Path
from typing import Dict, List, Optional

NAME = "kepra"
VERSION = "0.1.0"
SUMMARY = "Python access to kepra USB 3 industrial cameras (ctypes over libkepra / kepra.dll)"
REQUIRES = ["numpy"]
ROOT = Path(__file__).resolve().parent.parent
PACKAGE = ROOT / NAME
TAG = "py3-none-any"
# The C library may be put beside the package before building, so that the wheel carries it.
_SUFFIXES = (".py", ".typed", ".so", ".so.1", ".dll")


def _metadata() -> str:
    lines = ["Metadata-Version: 2.1", f"Name: {NAME}", f"Version: {VERSION}", f"Summary: {SUMMARY}"]
    lines += ["Requires-Python: >=3.8"] + [f"Requires-Dist: {r}" for r in REQUIRES]
    return "\n".join(lines) + "\n"


def _wheel_info() -> str:
    return f"Wheel-Version: 1.0\nGenerator: kepra_backend\nRoot-Is-Purelib: true\nTag: {TAG}\n"


def _package_files() -> List[Path]:
    files = []
    for path in sorted(PACKAGE.rglob("*")):
        if path.is_file() and "__pycache__" not in path.parts and path.name.endswith(_SUFFIXES):
            files.append(path)
    return files


def _record_line(name: str, data: bytes) -> str:
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{name},sha256={digest},{len(data)}"


def _dist_info() -> str:
    return f"{NAME}-{VERSION}.dist-info"


def _write_wheel(directory: str, editable: bool = False) -> str:
    wheel_name = f"{NAME}-{VERSION}-{TAG}.whl"
    entries: Dict[str, bytes] = {}
    if editable:
        entries[f"{NAME}_editable.pth"] = (str(ROOT) + "\n").encode()
    else:
        for path in _package_files():
            entries[path.relative_to(ROOT).as_posix()] = path.read_bytes()
    info = _dist_info()
    entries[f"{info}/METADATA"] = _metadata().encode()
    entries[f"{info}/WHEEL"] = _wheel_info().encode()
    entries[f"{info}/top_level.txt"] = f"{NAME}\n".encode()
    record = [_record_line(name, data) for name, data in entries.items()]
    record.append(f"{info}/RECORD,,")
    entries[f"{info}/RECORD"] = ("\n".join(record) + "\n").encode()
    target = os.path.join(directory, wheel_name)
    with zipfile.ZipFile(target, "w", zipfile.ZIP_DEFLATED) as wheel:
        for name, data in entries.items():
            info_entry = zipfile.ZipInfo(name, date_time=(2020, 1, 1, 0, 0, 0))
            info_entry.external_attr = 0o644 << 16
            info_entry.compress_type = zipfile.ZIP_DEFLATED
            wheel.writestr(info_entry, data)
    return wheel_name


def _write_metadata(directory: str) -> str:
    info = Path(directory) / _dist_info()
    info.mkdir(parents=True, exist_ok=True)
    (info / "METADATA").write_text(_metadata())
    (info / "WHEEL").write_text(_wheel_info())
    return info.name


# ---- PEP 517 / PEP 660 hooks -----------------------------------------------------------------


def get_requires_for_build_wheel(config_settings: Optional[dict] = None) -> List[str]:
    return []


def get_requires_for_build_sdist(config_settings: Optional[dict] = None) -> List[str]:
    return []


def get_requires_for_build_editable(config_settings: Optional[dict] = None) -> List[str]:
    return []


def prepare_metadata_for_build_wheel(directory: str, config_settings: Optional[dict] = None) -> str:
    return _write_metadata(directory)


def prepare_metadata_for_build_editable(directory: str, config_settings: Optional[dict] = None) -> str:
    return _write_metadata(directory)


def build_wheel(directory: str, config_settings: Optional[dict] = None, metadata_directory: Optional[str] = None) -> str:
    return _write_wheel(directory)


def build_editable(directory: str, config_settings: Optional[dict] = None, metadata_directory: Optional[str] = None) -> str:
    return _write_wheel(directory, editable=True)


def build_sdist(directory: str, config_settings: Optional[dict] = None) -> str:
    base = f"{NAME}-{VERSION}"
    target = os.path.join(directory, f"{base}.tar.gz")
    with tarfile.open(target, "w:gz") as sdist:
        for path in sorted(ROOT.rglob("*")):
            rel = path.relative_to(ROOT)
            skip = {"__pycache__", ".pytest_cache", "build", "dist"} & set(rel.parts)
            if path.is_file() and not skip and not rel.name.endswith(".egg-info"):
                sdist.add(str(path), arcname=f"{base}/{rel.as_posix()}")
        pkg_info = tarfile.TarInfo(f"{base}/PKG-INFO")
        data = _metadata().encode()
        pkg_info.size = len(data)
        import io

        sdist.addfile(pkg_info, io.BytesIO(data))
    return os.path.basename(target)
