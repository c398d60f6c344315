"""Cameras: opening, frames, settings, identity, flash and firmware.

Every method is one library call unless its docstring says otherwise, and blocks until the
camera answered. ctypes releases the GIL for the duration of each call, so other Python
threads run while one waits for a frame, a flash write or the device lock.
"""

from __future__ import annotations

import builtins
import ctypes
import math
import os
from ctypes import byref, c_double, c_uint8, c_uint16, c_uint32
from typing import Any, Callable, Dict, Iterable, List, Optional, Tuple, Union

import numpy as np

from . import _lib
from ._format import Geometry, geometry_of
from ._lib import Library, kepra_FrameFormat, kepra_FrameInfo, kepra_FrameParams, library
from .errors import KepraError, make_error
from .stream import Stream
from .types import (
    BadPixel,
    CameraInfo,
    CameraInfoEx,
    ColourGain,
    DeviceInfo,
    DriverVersion,
    FirmwareVersion,
    FrameFormat,
    FrameInfo,
    FrameParams,
    Gain,
    Snapshot,
    StreamMode,
    Strobe,
)

SECTOR_SIZE = 0x10000  # the flash is rewritten in 64 KiB sectors

# Frame geometry per device index, shared by every Camera of the process, so that a grab costs
# one request as in C. It is dropped whenever this process changes what the geometry follows
# (frame parameters, identity, firmware, a reset).
_geometries: Dict[int, Geometry] = {}

Progress = Callable[[int, int], None]
Buffer = Union[bytes, bytearray, memoryview]


def _uint(value: object, bits: int, what: str) -> int:
    """An unsigned integer argument of `bits` bits, refused rather than wrapped by ctypes."""
    if isinstance(value, bool) or not isinstance(value, (int, np.integer)):
        raise TypeError(f"{what} must be an integer, not {type(value).__name__}")
    number = int(value)
    if not 0 <= number < (1 << bits):
        raise ValueError(f"{what} {number} is outside 0..{(1 << bits) - 1}")
    return number


def _real(value: object, what: str) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float, np.integer, np.floating)):
        raise TypeError(f"{what} must be a number, not {type(value).__name__}")
    return float(value)


def _fail(lib: Library, function: str) -> KepraError:
    return make_error(int(lib.last_error()), function)


def devices() -> List[DeviceInfo]:
    """The cameras present: every device index that opens, with model and sensor size.

    Opens and closes each of the 35 device indices in turn (blocks for a request or two per
    camera found).
    """
    lib = library()
    found: List[DeviceInfo] = []
    for index in range(_lib.MAX_DEVICES):
        handle = lib.kepra_OpenDevice(index)
        if handle == _lib.INVALID_HANDLE:
            continue
        try:
            info = _lib.kepra_CameraInfo()
            if lib.kepra_GetCameraInfo(handle, byref(info)):
                found.append(
                    DeviceInfo(
                        index,
                        info.ModelName.decode("ascii", "replace"),
                        info.Width,
                        info.Height,
                        bool(info.Color),
                    )
                )
            else:  # present but unable to describe itself: still listed
                found.append(DeviceInfo(index, "", 0, 0, False))
        finally:
            lib.kepra_CloseDevice(handle)
    return found


def open(index: int = 0) -> "Camera":  # noqa: A001 - the package's entry point, as io.open
    """Opens the camera of a device index (0..34); use it in a `with` block to close it."""
    return Camera(index)


class Camera:
    """An open camera. Close it with `close()` or by leaving its `with` block.

    Methods may be called from several threads at once (settings hold the camera's device
    lock, frames do not), but `close()` must not run while another thread still uses it.
    """

    def __init__(self, index: int = 0) -> None:
        self._handle: Optional[int] = None
        self.index = _uint(index, 32, "device index")
        if self.index >= _lib.MAX_DEVICES:
            raise ValueError(f"device index {self.index} is outside 0..{_lib.MAX_DEVICES - 1}")
        self._lib = lib = library()
        handle = lib.kepra_OpenDevice(self.index)
        if handle == _lib.INVALID_HANDLE:
            error = _fail(lib, "kepra_OpenDevice")
            error.text += f" (opening device index {self.index})"
            raise error
        self._handle = handle
        self._last_out: Optional[np.ndarray] = None
        self._last_address = 0
        self._forget_geometry()  # another camera may have been plugged in at this index
        # Bound once: the grab loop should cost no more than the C one.
        self._grab_calls = {16: lib.kepra_GetFrame16, 8: lib.kepra_GetFrame8}
        self._grab_ex_calls = {16: lib.kepra_GetFrameEx16, 8: lib.kepra_GetFrameEx8}
        self._grab_after_calls = {16: lib.kepra_GetFrameAfterEx16, 8: lib.kepra_GetFrameAfterEx8}

    # ---- session -----------------------------------------------------------------------

    @property
    def closed(self) -> bool:
        return self._handle is None

    @property
    def handle(self) -> int:
        """The library's camera handle, for calls this package does not wrap."""
        if self._handle is None:
            raise ValueError(f"camera {self.index} is closed")
        return self._handle

    def close(self) -> None:
        """Closes the camera; a second close does nothing."""
        handle, self._handle = self._handle, None
        self._last_out = None
        if handle is not None:
            if not self._lib.kepra_CloseDevice(handle):
                raise _fail(self._lib, "kepra_CloseDevice")

    def __enter__(self) -> "Camera":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __del__(self) -> None:
        if getattr(self, "_handle", None) is not None:
            try:
                self.close()
            except Exception:
                pass

    def __repr__(self) -> str:
        state = "closed" if self._handle is None else "open"
        return f"<kepra.Camera {self.index} {state}>"

    def _call(self, name: str, *args: object) -> None:
        if not getattr(self._lib, name)(self.handle, *args):
            raise _fail(self._lib, name)

    # ---- frames --------------------------------------------------------------------------

    def geometry(self) -> Geometry:
        """Frame width, height and bit depth, read afresh from the camera's frame parameters
        (one request); grabs use it from then on."""
        geometry = _geometries[self.index] = geometry_of(self._get_frame_params())
        return geometry

    def _get_frame_format(self) -> kepra_FrameFormat:
        record = kepra_FrameFormat(Size=ctypes.sizeof(kepra_FrameFormat))
        self._call("kepra_GetFrameFormat", byref(record))
        return record

    def frame_format(self) -> FrameFormat:
        """Width, height, bit depth, byte counts and colour-filter order of a frame of the
        current frame parameters (reads them under the device lock)."""
        record = self._get_frame_format()
        _geometries[self.index] = Geometry(record.Width, record.Height, record.BitDepth)
        return FrameFormat.from_record(record)

    def stream(self, buffers: int = 8, strategy: str = "oldest", depth: int = 16, info: bool = True) -> Stream:
        """Opens and starts a stream: the library grabs on a thread of its own into `buffers`
        buffers (1..1024) while the application takes the frames, as arrays of `depth` bits
        with their frame records when `info`.

        `strategy` "oldest" queues frames in arrival order and drops new ones while every
        buffer is in use; "newest" keeps only the newest frame waiting (for live view). The
        frame size is read once here: open a new stream after changing frame parameters.
        Each frame handed out is a copy the application owns (see `Stream`). Use it in a
        `with` block, which stops and closes it.
        """
        return Stream(self, buffers, strategy, depth, info)

    def _geometry(self) -> Geometry:
        geometry = _geometries.get(self.index)
        return geometry if geometry is not None else self.geometry()

    def _forget_geometry(self) -> None:
        _geometries.pop(self.index, None)

    @staticmethod
    def _depth(depth: int) -> int:
        if depth not in (8, 16) or isinstance(depth, bool):
            raise ValueError(f"depth must be 8 or 16, not {depth!r}")
        return depth

    def grab(self, depth: int = 16, out: Optional[np.ndarray] = None) -> np.ndarray:
        """Grabs one frame into a (height, width) array: uint16 for depth 16, uint8 for 8.

        16-bit samples hold the value at the frame's bit depth, right-aligned; 8-bit samples
        are the value >> (bit depth - 8). The camera writes straight into the array's memory,
        which numpy owns: no copy, nothing to release. `out` (C-contiguous, writeable, of the
        frame's shape and dtype) is reused instead of a new array; a wrong one raises
        ValueError or TypeError before any frame is requested.

        Blocks until the frame arrives: free-running, the next frame the sensor produces; in
        snapshot mode, until a trigger (or TriggerTimeoutError after the snapshot timeout).
        The frame size is read from the camera's frame parameters on the first grab and again
        after frame parameters, identity or firmware change or the camera is reset through this
        package in this process. After another process changed them, call `geometry()` to
        read them again (`grab_info` notices the change itself).
        """
        grab = self._grab_calls.get(depth)
        if grab is None or isinstance(depth, bool):
            self._depth(depth)  # raises
        handle = self.handle
        geometry = _geometries.get(self.index) or self.geometry()
        shape = (geometry.height, geometry.width)
        dtype = _U16 if depth == 16 else _U8
        if out is None:
            out = np.empty(shape, dtype)
            address = out.ctypes.data
        else:
            if type(out) is not np.ndarray or out.dtype != dtype or out.shape != shape:
                _check_out(out, shape, dtype)  # says what is wrong
            flags = out.flags
            if not (flags.c_contiguous and flags.writeable):
                _check_out(out, shape, dtype)
            # An array's memory stays where it is while it is referenced (numpy refuses to
            # resize it in place), so the address of the array grabbed into last is kept.
            if out is self._last_out:
                address = self._last_address
            else:
                address = out.ctypes.data
                self._last_out, self._last_address = out, address
        if not grab(handle, address, out.nbytes):
            raise _fail(self._lib, grab.__name__)
        return out

    def grab_info(self, depth: int = 16, after: Optional[int] = None) -> Tuple[np.ndarray, FrameInfo]:
        """Grabs one frame with its information record: (array, FrameInfo).

        With `after` (a frame counter, usually the last one received), delivers the first
        frame newer than it, waiting for it if need be. The array is a view into one numpy
        buffer that holds record and samples, so nothing is copied. Blocks like `grab`.
        Raises RuntimeError when the record shows a frame of another size than expected (the
        frame parameters were changed by another process); the next grab reads them again.
        """
        depth = self._depth(depth)
        geometry = self._geometry()
        buffer = np.empty(geometry.record_bytes(depth), np.uint8)
        if after is None:
            grab = self._grab_ex_calls[depth]
            ok = grab(self.handle, buffer.ctypes.data, buffer.nbytes)
        else:
            grab = self._grab_after_calls[depth]
            ok = grab(self.handle, buffer.ctypes.data, buffer.nbytes, _uint(after, 32, "after"))
        if not ok:
            raise _fail(self._lib, grab.__name__)
        record = kepra_FrameInfo.from_buffer_copy(buffer[: _lib.FRAME_INFO_SIZE])
        if (record.Width, record.Height) != (geometry.width, geometry.height):
            self._forget_geometry()
            raise RuntimeError(
                f"frame is {record.Width}x{record.Height}, expected {geometry.width}x"
                f"{geometry.height}: the frame parameters were changed elsewhere; the next grab "
                "reads them again"
            )
        samples = buffer[_lib.FRAME_INFO_SIZE :].view(np.uint16 if depth == 16 else np.uint8)
        return samples.reshape(geometry.height, geometry.width), _frame_info(self._lib, record)

    # ---- registers and clock ---------------------------------------------------------------

    def read_register(self, address: int) -> int:
        """Reads a 16-bit sensor register (holds the device lock)."""
        value = c_uint16()
        self._call("kepra_ReadSensorReg", _uint(address, 16, "register address"), byref(value))
        return value.value

    def write_register(self, address: int, value: int) -> None:
        """Writes a 16-bit sensor register (holds the device lock)."""
        self._call(
            "kepra_WriteSensorReg",
            _uint(address, 16, "register address"),
            _uint(value, 16, "register value"),
        )

    @property
    def clock_mhz(self) -> int:
        """Sensor clock in whole MHz, 4 to 114; frame time and exposure follow it."""
        value = c_uint32()
        self._call("kepra_GetFrequency", byref(value))
        return value.value

    @clock_mhz.setter
    def clock_mhz(self, mhz: int) -> None:
        self._call("kepra_SetFrequency", _uint(mhz, 32, "clock MHz"))

    # ---- frame time and frame rate ---------------------------------------------------------

    def _pair(self, name: str, kind: type) -> Tuple[Any, Any]:
        a, b = kind(), kind()
        self._call(name, byref(a), byref(b))
        return a.value, b.value

    def _one(self, name: str, kind: type) -> Any:
        value = kind()
        self._call(name, byref(value))
        return value.value

    @property
    def frame_time(self) -> int:
        """Frame time in line-length units (line length x frame length); one unit lasts
        15.999554533002907 sensor-clock periods. Set: clamped to `frame_time_limits`."""
        return int(self._one("kepra_GetFrameTime", c_uint32))

    @frame_time.setter
    def frame_time(self, units: int) -> None:
        self._call("kepra_SetFrameTime", _uint(units, 32, "frame time"))

    @property
    def frame_time_limits(self) -> Tuple[int, int]:
        """(shortest, longest) frame time in line-length units for the current window,
        exposure and clock."""
        return self._pair("kepra_GetFrameTimeMinMax", c_uint32)

    @property
    def frame_rate(self) -> float:
        """Frames per second; may lengthen the frame first when the exposure no longer fits.
        Set: clamped to `frame_rate_limits` (see `set_frame_rate` for the rate it took)."""
        return float(self._one("kepra_GetFrameRate", c_double))

    @frame_rate.setter
    def frame_rate(self, fps: float) -> None:
        self.set_frame_rate(fps)

    def set_frame_rate(self, fps: float) -> float:
        """Sets the frame rate (frames per second) and returns the rate the camera took."""
        taken = c_double()
        self._call("kepra_SetFrameRate", _real(fps, "frame rate"), byref(taken))
        return taken.value

    @property
    def frame_rate_limits(self) -> Tuple[float, float]:
        """(slowest, fastest) frame rate in frames per second."""
        return self._pair("kepra_GetFrameRateMinMax", c_double)

    def set_min_frame_rate(self) -> None:
        """Makes the frame as long as it can be (slowest rate)."""
        self._call("kepra_SetMinFrameRate")

    def set_max_frame_rate(self) -> None:
        """Makes the frame as short as window, exposure and clock allow (fastest rate)."""
        self._call("kepra_SetMaxFrameRate")

    # ---- exposure --------------------------------------------------------------------------

    @property
    def exposure_ms(self) -> float:
        """Exposure in milliseconds. Setting picks the nearest whole line, lengthens the
        frame when needed and blocks about 50 ms (see `set_exposure_ms`)."""
        return float(self._one("kepra_GetExposureMs", c_double))

    @exposure_ms.setter
    def exposure_ms(self, ms: float) -> None:
        self.set_exposure_ms(ms)

    def set_exposure_ms(self, ms: float) -> float:
        """Sets the exposure in milliseconds and returns the exposure the camera took.
        Holds the device lock for about 50 ms before reading it back."""
        taken = c_double()
        self._call("kepra_SetExposureMs", _real(ms, "exposure ms"), byref(taken))
        return taken.value

    @property
    def exposure_ms_limits(self) -> Tuple[float, float]:
        """(shortest, longest) exposure in milliseconds at the current clock."""
        return self._pair("kepra_GetExposureMinMaxMs", c_double)

    @property
    def exposure_ms_max_at_frame_rate(self) -> float:
        """The longest exposure in milliseconds that keeps the current frame rate."""
        return float(self._one("kepra_GetExposureFramerateMaxMs", c_double))

    @property
    def exposure_lines(self) -> int:
        """Exposure in sensor lines, within `exposure_lines_limits` (2 to 65534)."""
        return int(self._one("kepra_GetExposure", c_uint32))

    @exposure_lines.setter
    def exposure_lines(self, lines: int) -> None:
        low, high = self.exposure_lines_limits
        lines = _uint(lines, 32, "exposure lines")
        if not low <= lines <= high:
            # The library would map it into range modulo 65534: not what anyone means.
            raise ValueError(f"exposure lines {lines} is outside {low}..{high}")
        self._call("kepra_SetExposure", lines)

    @property
    def exposure_lines_limits(self) -> Tuple[int, int]:
        """(fewest, most) exposure lines; needs no request."""
        return self._pair("kepra_GetExposureMinMax", c_uint32)

    @property
    def exposure_lines_max_at_frame_rate(self) -> int:
        """The most exposure lines that keep the current frame rate."""
        return int(self._one("kepra_GetExposureFramerateMax", c_uint32))

    @property
    def exposure_time(self) -> int:
        """Exposure in sensor-clock periods (lines x line length x 15.999554533002907).
        Setting picks the nearest whole line."""
        return int(self._one("kepra_GetExposureTime", c_uint32))

    @exposure_time.setter
    def exposure_time(self, periods: int) -> None:
        self._call("kepra_SetExposureTime", _uint(periods, 32, "exposure time"))

    @property
    def exposure_time_limits(self) -> Tuple[int, int]:
        """(shortest, longest) exposure in sensor-clock periods."""
        return self._pair("kepra_GetExposureTimeMinMax", c_uint32)

    @property
    def exposure_time_max_at_frame_rate(self) -> int:
        """The longest exposure in sensor-clock periods that keeps the current frame rate."""
        return int(self._one("kepra_GetExposureTimeFramerateMax", c_uint32))

    # ---- gain --------------------------------------------------------------------------------

    @property
    def gain(self) -> Gain:
        """(analog, digital) gain factors. Analog: 1, 1.5, 2, 3, 4, 6 or 8; digital: 1.0 to
        15.875. Set: nearest code, out-of-range factors clamped; blocks about 20 ms."""
        return Gain(*self._pair("kepra_GetGain", c_double))

    @gain.setter
    def gain(self, value: Tuple[float, float]) -> None:
        analog, digital = value
        self._call("kepra_SetGain", _real(analog, "analog gain"), _real(digital, "digital gain"))

    @property
    def colour_gain(self) -> ColourGain:
        """(gb, gr, b, r) colour gain factors, 0.25 to 3.96875; out-of-range values clamp."""
        values = [c_double() for _ in range(4)]
        self._call("kepra_GetGainC", *(byref(v) for v in values))
        return ColourGain(*(v.value for v in values))

    @colour_gain.setter
    def colour_gain(self, value: Tuple[float, float, float, float]) -> None:
        gb, gr, b, r = value
        names = ("gb", "gr", "b", "r")
        self._call("kepra_SetGainC", *(_real(v, f"{n} gain") for v, n in zip((gb, gr, b, r), names)))

    # ---- readout, HDR, snapshot, strobe, events ------------------------------------------------

    @property
    def readout_mode(self) -> int:
        """Sensor readout mode, 0 to 3."""
        return int(self._one("kepra_GetReadoutMode", c_uint32))

    @readout_mode.setter
    def readout_mode(self, mode: int) -> None:
        mode = _uint(mode, 32, "readout mode")
        if mode > 3:
            raise ValueError(f"readout mode {mode} is outside 0..3")
        # A sensor variant that does not support the mode fails without a code of its own.
        self._lib.kepra_SetLastError(0)
        if not self._lib.kepra_SetReadoutMode(self.handle, mode):
            code = int(self._lib.last_error())
            if code == 0:
                raise KepraError(0, f"readout mode {mode} is not supported by this sensor variant", "kepra_SetReadoutMode")
            raise make_error(code, "kepra_SetReadoutMode")

    @property
    def hdr(self) -> bool:
        """High dynamic range on or off."""
        return bool(self._one("kepra_GetHDR", c_uint8))

    @hdr.setter
    def hdr(self, on: bool) -> None:
        self._call("kepra_SetHDR", 1 if on else 0)

    @property
    def snapshot(self) -> Snapshot:
        """Snapshot-mode trigger wait (milliseconds, 0 without limit, up to 0x7FFFFFFF) and
        trigger polarity."""
        timeout, inverted = c_uint32(), c_uint8()
        self._call("kepra_GetSnapshotParams", byref(timeout), byref(inverted))
        return Snapshot(timeout.value, bool(inverted.value))

    @snapshot.setter
    def snapshot(self, value: Tuple[int, bool]) -> None:
        timeout, inverted = value
        timeout = _uint(timeout, 32, "snapshot timeout ms")
        if timeout > 0x7FFFFFFF:
            raise ValueError(f"snapshot timeout {timeout} ms is above 0x7FFFFFFF")
        self._call("kepra_SetSnapshotParams", timeout, 1 if inverted else 0)

    @property
    def strobe(self) -> Strobe:
        """Strobe mode (0..3), off and on delays (0..255) and polarity."""
        mode, off, on, inverted = c_uint32(), c_uint8(), c_uint8(), c_uint8()
        self._call("kepra_GetStrobeParams", byref(mode), byref(off), byref(on), byref(inverted))
        return Strobe(mode.value, off.value, on.value, bool(inverted.value))

    @strobe.setter
    def strobe(self, value: Tuple[int, int, int, bool]) -> None:
        mode, off, on, inverted = value
        mode = _uint(mode, 32, "strobe mode")
        if mode > 3:
            raise ValueError(f"strobe mode {mode} is outside 0..3")
        self._call(
            "kepra_SetStrobeParams",
            mode,
            _uint(off, 8, "strobe off delay"),
            _uint(on, 8, "strobe on delay"),
            1 if inverted else 0,
        )

    @property
    def events(self) -> int:
        """The camera's events state byte; frames carry it in their record. Setting it
        replaces bits 0-3 (see `set_events` for other bits)."""
        return int(self._one("kepra_GetEventsState", c_uint8))

    @events.setter
    def events(self, bits: int) -> None:
        self.set_events(bits, 0x0F)

    def set_events(self, bits: int, mask: int) -> None:
        """Gives the event bits selected by `mask` (bits 0-3 count) the values they have in
        `bits`; the other bits are kept, except that bits set outside `mask` are cleared."""
        self._call("kepra_SetEventsState", _uint(bits, 8, "event bits"), _uint(mask, 8, "event mask"))

    @property
    def stream_mode(self) -> StreamMode:
        """FREE_RUNNING (frames as the sensor makes them) or SNAPSHOT (one per trigger)."""
        return StreamMode(self._one("kepra_GetStreamMode", c_uint32))

    @stream_mode.setter
    def stream_mode(self, mode: int) -> None:
        self._call("kepra_SetStreamMode", int(StreamMode(mode)))

    def set_led(self, state: int) -> None:
        """Sends the front LED its state byte (0 off)."""
        self._call("kepra_SwitchFrontLED", _uint(int(state), 8, "LED state"))

    # ---- frame parameters ------------------------------------------------------------------

    def _get_frame_params(self) -> kepra_FrameParams:
        record = kepra_FrameParams()
        self._call("kepra_GetFrameParams", byref(record))
        return record

    @property
    def frame_params(self) -> FrameParams:
        """Region of interest, bit depth, binning and flips; the frame shape follows them."""
        r = self._get_frame_params()
        return FrameParams(
            r.X,
            r.Y,
            r.Width,
            r.Height,
            r.BitDepth,
            r.BinX,
            r.BinY,
            bool(r.Flags & _lib.FRAME_MIRROR_X),
            bool(r.Flags & _lib.FRAME_FLIP_Y),
        )

    @frame_params.setter
    def frame_params(self, params: FrameParams) -> None:
        if not isinstance(params, FrameParams):
            raise TypeError(f"frame_params takes a kepra.FrameParams, not {type(params).__name__}")
        record = kepra_FrameParams()
        record.X = _uint(params.x, 16, "x")
        record.Y = _uint(params.y, 16, "y")
        record.Width = _uint(params.width, 16, "width")
        record.Height = _uint(params.height, 16, "height")
        record.BitDepth = _uint(params.bit_depth, 16, "bit depth")
        record.BinX = _uint(params.bin_x, 16, "bin x")
        record.BinY = _uint(params.bin_y, 16, "bin y")
        record.Flags = (_lib.FRAME_MIRROR_X if params.mirror_x else 0) | (
            _lib.FRAME_FLIP_Y if params.flip_y else 0
        )
        self._forget_geometry()
        try:
            self._call("kepra_SetFrameParams", byref(record))
        finally:
            self._forget_geometry()

    # ---- bad pixels --------------------------------------------------------------------------

    @property
    def bad_pixel_fix(self) -> bool:
        """Whether the camera corrects the pixels of its bad-pixel list."""
        enabled = c_uint8()
        self._call("kepra_GetFixBadPixels", byref(enabled), None)
        return bool(enabled.value)

    @bad_pixel_fix.setter
    def bad_pixel_fix(self, on: bool) -> None:
        self._call("kepra_SetFixBadPixels", 1 if on else 0, None)

    @property
    def bad_pixels(self) -> List[BadPixel]:
        """The camera's bad-pixel list (at most 1000 entries, sensor coordinates). Reading
        takes two requests (count, then list)."""
        count = c_uint16()
        self._call("kepra_GetBadPixelCount", byref(count))
        if count.value == 0:
            return []
        entries = (_lib.kepra_BadPixel * count.value)()
        delivered = c_uint16()
        self._call("kepra_GetBadPixelData", entries, count.value, byref(delivered))
        return [BadPixel(e.X, e.Y, e.Kind) for e in entries[: delivered.value]]

    @bad_pixels.setter
    def bad_pixels(self, pixels: Iterable[Tuple[int, int, int]]) -> None:
        items = [BadPixel(*p) for p in pixels]
        if len(items) > _lib.MAX_BAD_PIXELS:
            raise ValueError(f"{len(items)} bad pixels, the camera keeps at most {_lib.MAX_BAD_PIXELS}")
        entries = (_lib.kepra_BadPixel * max(len(items), 1))()
        for entry, p in zip(entries, items):
            entry.X = _uint(p.x, 16, "bad pixel x")
            entry.Y = _uint(p.y, 16, "bad pixel y")
            entry.Kind = _uint(p.kind, 8, "bad pixel kind")
        self._call("kepra_SetBadPixelData", entries, len(items), None)

    # ---- identity and versions ---------------------------------------------------------------

    @property
    def info(self) -> CameraInfo:
        """Model name and sensor size (holds the device lock)."""
        info = _lib.kepra_CameraInfo()
        self._call("kepra_GetCameraInfo", byref(info))
        model = info.ModelName.decode("ascii", "replace")
        return CameraInfo(model, info.Width, info.Height, bool(info.Color))

    @property
    def info_ex(self) -> CameraInfoEx:
        """Model code and identity bytes 0 to 5 (holds the device lock)."""
        ex = _lib.kepra_CameraInfoEx()
        self._call("kepra_GetCameraInfoEx", byref(ex))
        return CameraInfoEx(ex.ModelCode, ex.IdentWord, ex.IdentByte3, ex.IdentByte4, ex.IdentByte5)

    @property
    def ident_data(self) -> bytes:
        """The camera's 78-byte identity record."""
        record = _lib.kepra_IdentData()
        self._call("kepra_GetIdentData", byref(record))
        return bytes(record.Bytes)

    @ident_data.setter
    def ident_data(self, data: Buffer) -> None:
        data = bytes(data)
        if len(data) != _lib.IDENT_DATA_SIZE:
            raise ValueError(f"an identity record is {_lib.IDENT_DATA_SIZE} bytes, not {len(data)}")
        record = _lib.kepra_IdentData()
        ctypes.memmove(record.Bytes, data, len(data))
        self._forget_geometry()  # the model decides the sensor size after a reset
        self._call("kepra_SetIdentData", record)

    def check_id(self, length: int) -> bytes:
        """The camera's identity-check reply of `length` bytes."""
        size = c_uint32(_uint(length, 32, "length"))
        reply = ctypes.create_string_buffer(max(size.value, 1))
        self._call("kepra_CheckId", reply, byref(size))
        return reply.raw[: size.value]

    @property
    def driver_version(self) -> DriverVersion:
        """The driver's version; `accepted` is False for one the library will not use (it
        accepts only 0.1.96)."""
        major, minor, build, sign = c_uint8(), c_uint8(), c_uint16(), c_uint32()
        ok = self._lib.kepra_GetDriverVer(self.handle, byref(major), byref(minor), byref(build), byref(sign))
        if not ok:
            code = int(self._lib.last_error())
            if code != 1638:
                raise make_error(code, "kepra_GetDriverVer")
        return DriverVersion(major.value, minor.value, build.value, bool(sign.value), bool(ok))

    @property
    def firmware_version(self) -> FirmwareVersion:
        """The camera firmware's five version values (1.0.1.6.0 for the supported firmware)."""
        values = [c_uint16() for _ in range(4)]
        fifth = c_uint8()
        self._call("kepra_GetFWVersion", *(byref(v) for v in values), byref(fifth))
        return FirmwareVersion(*(v.value for v in values), fifth.value)

    @property
    def usb_speed(self) -> Tuple[int, int]:
        """(speed code, speed detail) as the driver codes the USB connection."""
        return self._pair("kepra_GetUsbSpeed", c_uint32)

    def driver_log(self, size: int = 4096) -> str:
        """The driver's log text (at most `size` bytes)."""
        size = max(_uint(size, 32, "size"), _lib.DRIVER_LOG_MIN)
        text = ctypes.create_string_buffer(size)
        returned = c_uint32()
        self._call("kepra_GetDrvLogMsg", text, size, byref(returned))
        return text.raw[: returned.value].split(b"\0", 1)[0].decode("utf-8", "replace")

    def reset(self) -> None:
        """Restarts the camera from its flash (after a firmware update)."""
        self._forget_geometry()
        try:
            self._call("kepra_DeviceReset")
        finally:
            self._forget_geometry()

    # ---- flash and firmware ------------------------------------------------------------------

    @staticmethod
    def _range(address: int, length: int, area: int, where: str) -> None:
        _uint(address, 32, "address")
        _uint(length, 32, "length")
        if length == 0:
            raise ValueError("the length is 0")
        if address + length > area:
            raise ValueError(
                f"0x{address:X} + {length} bytes runs past the end of the {where} ({area} bytes)"
            )

    def read_flash(self, address: int, length: int, *, whole: bool = False) -> bytes:
        """Reads `length` bytes of the user area at `address` (holds the device lock).

        With `whole=True`, addresses are flash addresses over the whole 2 MiB and no lock is
        taken. Blocks for one request per 256-byte page."""
        area = _lib.FLASH_SIZE if whole else _lib.USER_AREA_SIZE
        self._range(address, length, area, "flash" if whole else "user area")
        data = np.empty(length, np.uint8)
        name = "CxReadSPIFlash" if whole else "kepra_ReadFlash"
        self._call(name, address, data.ctypes.data, length)
        return data.tobytes()

    def write_flash(self, address: int, data: Buffer, *, whole: bool = False) -> None:
        """Writes bytes into the user area at `address` (holds the device lock).

        Every 64 KiB sector the range touches is read, erased and programmed again; the bytes
        around the range are kept. If a request fails on the way, that sector may be left
        erased or partly programmed. With `whole=True`, addresses are flash addresses and no
        lock is taken: keep other users of the camera away yourself."""
        payload = bytes(data)
        area = _lib.FLASH_SIZE if whole else _lib.USER_AREA_SIZE
        self._range(address, len(payload), area, "flash" if whole else "user area")
        name = "CxWriteSPIFlash" if whole else "kepra_WriteFlash"
        self._call(name, address, payload, len(payload))

    def update_firmware(
        self,
        image: Union[None, str, os.PathLike, Buffer] = None,
        progress: Optional[Progress] = None,
        *,
        verify: bool = True,
    ) -> None:
        """Writes camera firmware into the flash from address 0; `reset()` then starts it.

        Without `image`: the firmware the library carries, in one library call under the
        device lock, only to cameras whose firmware it fits (VersionError otherwise, nothing
        written). The library cannot report progress for it, so `progress` is called only
        before (0, 1) and after (1, 1).

        With `image` (a file path or the bytes of an image, at most 0x160000 bytes): without
        `progress` and from a path, the library writes the file in one call under the device
        lock. With `progress`, the image is written sector by sector (64 KiB) with one
        unlocked whole-flash write each, and `progress(done, total)` is called after each
        sector: other programs must keep off the camera meanwhile. A failure part-way leaves
        an incomplete image: update again before resetting the camera. With `verify`, the
        written image is read back and compared (RuntimeError on a difference).

        Blocks for the whole update (seconds with real flash timing).
        """
        if image is None:
            if progress:
                progress(0, 1)
            self._call("kepra_UpdateFW")
            if progress:
                progress(1, 1)
            return
        path: Optional[str] = None
        if isinstance(image, (str, os.PathLike)):
            path = os.fspath(image)
            with builtins.open(path, "rb") as file:
                content = file.read()
        else:
            content = bytes(image)
        if not content:
            raise ValueError("the firmware image is empty; nothing was written")
        if len(content) > _lib.FIRMWARE_REGION_SIZE:
            raise ValueError(
                f"the firmware image holds {len(content)} bytes, more than the "
                f"{_lib.FIRMWARE_REGION_SIZE} of the firmware region; nothing was written"
            )
        if path is not None and progress is None:
            self._call("kepra_UpdateFWFromFile", os.fsencode(path))
        else:
            total = (len(content) + SECTOR_SIZE - 1) // SECTOR_SIZE
            for sector in range(total):
                chunk = content[sector * SECTOR_SIZE : (sector + 1) * SECTOR_SIZE]
                self._call("CxWriteSPIFlash", sector * SECTOR_SIZE, chunk, len(chunk))
                if progress:
                    progress(sector + 1, total)
        if verify and self.read_flash(0, len(content), whole=True) != content:
            raise RuntimeError(
                "the flash differs from the image after the update: the camera's firmware is "
                "incomplete; update again before resetting the camera"
            )


_U16, _U8 = np.dtype(np.uint16), np.dtype(np.uint8)


def _check_out(out: np.ndarray, shape: Tuple[int, ...], dtype: Any) -> None:
    if not isinstance(out, np.ndarray):
        raise TypeError(f"out must be a numpy array, not {type(out).__name__}")
    if out.dtype != np.dtype(dtype):
        raise TypeError(f"out has dtype {out.dtype}, the frame needs {np.dtype(dtype)}")
    if out.shape != tuple(shape):
        raise ValueError(f"out has shape {out.shape}, the frame is {tuple(shape)}")
    if not out.flags.c_contiguous:
        raise ValueError("out must be C-contiguous: the camera writes the frame in one piece")
    if not out.flags.writeable:
        raise ValueError("out is read-only")


def _frame_info(lib: Library, record: kepra_FrameInfo) -> FrameInfo:
    count = min(record.EventCount, len(record.Events))
    exposure = lib.kepra_GetFrameExposureMs(byref(record))
    return FrameInfo(
        frame_counter=record.FrameCounter,
        timestamp_us=record.TimestampUs,
        width=record.Width,
        height=record.Height,
        bit_depth=record.BitDepth,
        events=bytes(record.Events[:count]),
        clock_mhz=record.ClockMHz,
        exposure_lines=record.ExposureLines,
        line_length=record.LineLength,
        exposure_ms=exposure if math.isfinite(exposure) else 0.0,
        record=record,
    )
