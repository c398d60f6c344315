"""Value types of the Python API: plain, immutable records of what the camera reports."""

from __future__ import annotations

import ctypes
from dataclasses import dataclass, field
from enum import IntEnum
from typing import NamedTuple, Optional

from ._lib import kepra_FrameFormat, kepra_FrameInfo


class StreamMode(IntEnum):
    """How frames are produced: continuously, or one per trigger."""

    FREE_RUNNING = 0
    SNAPSHOT = 1


_FILTERS = {0: "none", 1: "RGGB", 2: "GRBG", 3: "GBRG", 4: "BGGR"}


@dataclass(frozen=True)
class FrameFormat:
    """What a frame of the current frame parameters looks like (`Camera.frame_format`).

    `colour_filter` is the Bayer order of the frame's first two lines and samples ("RGGB",
    "GRBG", "GBRG", "BGGR"), or "none" for a monochrome or binned colour frame. Byte counts
    are of a frame at depth 8 or 16, and with its information record in front (`ex`).
    """

    width: int
    height: int
    bit_depth: int
    bytes8: int
    bytes16: int
    bytes_ex8: int
    bytes_ex16: int
    colour_filter: str

    @classmethod
    def from_record(cls, record: "kepra_FrameFormat") -> "FrameFormat":
        code = record.ColorFilter
        return cls(
            record.Width,
            record.Height,
            record.BitDepth,
            record.Bytes8,
            record.Bytes16,
            record.BytesEx8,
            record.BytesEx16,
            _FILTERS.get(code, f"unknown ({code})"),
        )


class Gain(NamedTuple):
    """Analog gain factor (1, 1.5, 2, 3, 4, 6 or 8) and digital factor (1.0 to 15.875)."""

    analog: float
    digital: float


class ColourGain(NamedTuple):
    """Colour gain factors, 0.25 to 3.96875 each."""

    gb: float
    gr: float
    b: float
    r: float


class Strobe(NamedTuple):
    """Strobe output: mode 0..3, off and on delays (0..255 each) and polarity."""

    mode: int
    off_delay: int
    on_delay: int
    inverted: bool


class Snapshot(NamedTuple):
    """Snapshot mode's trigger wait in milliseconds (0: without limit) and trigger polarity."""

    timeout_ms: int
    inverted: bool


class BadPixel(NamedTuple):
    """A defective pixel: sensor column, sensor row and the camera's class of defect."""

    x: int
    y: int
    kind: int = 0


class CameraInfo(NamedTuple):
    """The camera's model name and sensor size in pixels."""

    model: str
    width: int
    height: int
    colour: bool


class CameraInfoEx(NamedTuple):
    """Identity bytes 0 to 5: model code, identity word and the further identity bytes."""

    model_code: int
    ident_word: int
    ident_byte3: int
    ident_byte4: int
    ident_byte5: int


class DeviceInfo(NamedTuple):
    """A camera found by `kepra.devices()`; `model` is empty when it could not be read."""

    index: int
    model: str
    width: int
    height: int
    colour: bool


class DriverVersion(NamedTuple):
    """The driver's version; `accepted` is False for a version the library refuses to use."""

    major: int
    minor: int
    build: int
    negative: bool
    accepted: bool

    def __str__(self) -> str:
        return f"{'-' if self.negative else ''}{self.major}.{self.minor}.{self.build}"


class FirmwareVersion(NamedTuple):
    """The camera firmware's five version values."""

    v1: int
    v2: int
    v3: int
    v4: int
    v5: int

    def __str__(self) -> str:
        return ".".join(str(v) for v in self)


@dataclass(frozen=True)
class FrameParams:
    """Region of interest on the sensor (before binning), sample depth, binning and flips.

    A frame is `width // bin_x` by `height // bin_y` samples. The camera refuses (87) a region
    outside the sensor, a bit depth other than 8, 10 or 12, a binning factor other than 1, 2
    or 4, and a width or height not divisible by its binning factor.
    """

    x: int = 0
    y: int = 0
    width: int = 1280
    height: int = 1024
    bit_depth: int = 10
    bin_x: int = 1
    bin_y: int = 1
    mirror_x: bool = False
    flip_y: bool = False

    @property
    def frame_shape(self) -> tuple:
        """(lines, samples per line) of the frames these parameters give."""
        return (self.height // self.bin_y, self.width // self.bin_x)


@dataclass(frozen=True)
class FrameInfo:
    """The information record that came with a frame (`Camera.grab_info`).

    `frame_counter` grows by one per frame the camera produced (wrapping at 2**32), so a gap
    between two received frames counts the frames missed. `timestamp_us` is the camera's
    capture time in microseconds since it started; `exposure_ms` is computed from the record's
    clock, exposure lines and line length.
    """

    frame_counter: int
    timestamp_us: int
    width: int
    height: int
    bit_depth: int
    events: bytes
    clock_mhz: int
    exposure_lines: int
    line_length: int
    exposure_ms: float
    record: kepra_FrameInfo = field(repr=False, compare=False)

    def find_event(self, bit: int, mask: int = 0xFF) -> Optional[int]:
        """Index of the first event whose `mask` bits equal those of `bit`, or None."""
        from ._lib import library

        index = library().kepra_CheckEventsState(ctypes.byref(self.record), bit, mask)
        return None if index < 0 else int(index)
