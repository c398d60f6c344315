"""The C library: loading, records and prototypes of every export of kepra.h.

Nothing here knows about cameras; `kepra.camera` builds the Python API on top. The table
`PROTOTYPES` is checked against the header by the test suite, so that a change to an export's
signature cannot go unnoticed.
"""

from __future__ import annotations

import ctypes
import os
import sys
from ctypes import (
    POINTER,
    Structure,
    c_char,
    c_char_p,
    c_double,
    c_int32,
    c_uint8,
    c_uint16,
    c_uint32,
    c_uint64,
    c_void_p,
)
from pathlib import Path
from typing import Callable, Dict, List, Optional, Tuple

WINDOWS = sys.platform == "win32"

# ---- Records ---------------------------------------------------------------------------


class kepra_FrameInfo(Structure):
    """The 4096-byte record in front of every Ex and AfterEx frame."""

    _fields_ = [
        ("FrameCounter", c_uint32),
        ("Reserved4", c_uint8 * 4),
        ("TimestampUs", c_uint64),
        ("Width", c_uint16),
        ("Height", c_uint16),
        ("BitDepth", c_uint16),
        ("Reserved22", c_uint8 * 4),
        ("EventCount", c_uint16),
        ("Reserved28", c_uint8 * 20),
        ("Events", c_uint8 * 4000),
        ("ClockMHz", c_uint16),
        ("Reserved4050", c_uint8 * 10),
        ("ExposureLines", c_uint16),
        ("Reserved4062", c_uint8 * 2),
        ("LineLength", c_uint16),
        ("Reserved4066", c_uint8 * 30),
    ]


class kepra_IdentData(Structure):
    _fields_ = [("Bytes", c_uint8 * 78)]


class kepra_CameraInfo(Structure):
    _fields_ = [
        ("Color", c_uint32),
        ("Width", c_uint32),
        ("Height", c_uint32),
        ("ModelName", c_char * 20),
    ]


class kepra_CameraInfoEx(Structure):
    _fields_ = [
        ("ModelCode", c_uint16),
        ("IdentByte3", c_uint16),
        ("IdentWord", c_uint32),
        ("IdentByte4", c_uint16),
        ("IdentByte5", c_uint16),
    ]


class kepra_FrameParams(Structure):
    _fields_ = [
        ("X", c_uint16),
        ("Y", c_uint16),
        ("Width", c_uint16),
        ("Height", c_uint16),
        ("BitDepth", c_uint16),
        ("BinX", c_uint16),
        ("BinY", c_uint16),
        ("Flags", c_uint16),
        ("Reserved", c_uint8 * 10),
    ]


class kepra_BadPixel(Structure):
    _pack_ = 1
    _fields_ = [("X", c_uint16), ("Y", c_uint16), ("Kind", c_uint8)]


class kepra_FrameFormat(Structure):
    """A frame's size, bit depth, byte counts and colour-filter order."""

    _fields_ = [
        ("Size", c_uint32),
        ("Width", c_uint32),
        ("Height", c_uint32),
        ("BitDepth", c_uint32),
        ("Bytes8", c_uint32),
        ("Bytes16", c_uint32),
        ("BytesEx8", c_uint32),
        ("BytesEx16", c_uint32),
        ("ColorFilter", c_uint32),
    ]


class kepra_StreamConfig(Structure):
    _fields_ = [
        ("Size", c_uint32),
        ("Depth", c_uint32),
        ("BufferCount", c_uint32),
        ("Strategy", c_uint32),
        ("WithInfo", c_uint32),
        ("BufferBytes", c_uint32),
        ("Buffers", POINTER(c_void_p)),
    ]


class kepra_Frame(Structure):
    _fields_ = [
        ("Size", c_uint32),
        ("Buffer", c_uint32),
        ("Samples", c_void_p),
        ("Info", POINTER(kepra_FrameInfo)),
        ("Sequence", c_uint64),
        ("FrameCounter", c_uint32),
        ("Reserved", c_uint32),
        ("TimestampUs", c_uint64),
        ("ArrivalUs", c_uint64),
        ("Width", c_uint32),
        ("Height", c_uint32),
        ("BitDepth", c_uint32),
        ("Depth", c_uint32),
        ("Bytes", c_uint32),
    ]


class kepra_StreamStats(Structure):
    _fields_ = [
        ("Size", c_uint32),
        ("Running", c_uint32),
        ("Received", c_uint64),
        ("Delivered", c_uint64),
        ("Skipped", c_uint64),
        ("Dropped", c_uint64),
        ("Failures", c_uint64),
        ("LastError", c_uint32),
        ("Queued", c_uint32),
        ("Held", c_uint32),
        ("Reserved", c_uint32),
    ]


class kepra_Stream(Structure):
    """Opaque: a stream is only ever handled through a pointer."""

    _fields_: List[Tuple[str, type]] = []


RECORDS: Dict[str, type] = {
    cls.__name__: cls
    for cls in (
        kepra_FrameInfo,
        kepra_IdentData,
        kepra_CameraInfo,
        kepra_CameraInfoEx,
        kepra_FrameParams,
        kepra_BadPixel,
        kepra_FrameFormat,
        kepra_StreamConfig,
        kepra_Frame,
        kepra_StreamStats,
    )
}

# ---- Constants of the header -------------------------------------------------------------

MAX_DEVICES = 35
FRAME_INFO_SIZE = ctypes.sizeof(kepra_FrameInfo)
FRAME_INFO_MIN_SIZE = 4066
IDENT_DATA_SIZE = 78
DRIVER_LOG_MIN = 21
FLASH_SIZE = 0x200000
USER_AREA_BASE = 0x160000
USER_AREA_SIZE = 0xA0000
FIRMWARE_REGION_SIZE = 0x160000
MAX_BAD_PIXELS = 1000
FRAME_MIRROR_X = 0x0001
FRAME_FLIP_Y = 0x0002
STREAM_FREE_RUNNING = 0
STREAM_SNAPSHOT = 1
STREAM_OLDEST_FIRST = 0
STREAM_NEWEST_ONLY = 1
CFA_NONE = 0
CFA_RGGB = 1
CFA_GRBG = 2
CFA_GBRG = 3
CFA_BGGR = 4
INFINITE = 0xFFFFFFFF

# ---- Prototypes ----------------------------------------------------------------------------

HANDLE = c_void_p
INVALID_HANDLE = c_void_p(-1).value
_u8p, _u16p, _u32p, _dp = POINTER(c_uint8), POINTER(c_uint16), POINTER(c_uint32), POINTER(c_double)
_U32 = c_uint32
STREAM = POINTER(kepra_Stream)
# Frame callbacks are called with the library's calling convention.
_FUNCTYPE = ctypes.WINFUNCTYPE if WINDOWS else ctypes.CFUNCTYPE  # type: ignore[attr-defined]
FRAME_CALLBACK = _FUNCTYPE(None, POINTER(kepra_Frame), c_void_p)

# name: (result, argument types). Pointer arguments that carry buffers are c_void_p, so that a
# numpy array's address goes straight through without a ctypes object per call.
PROTOTYPES: Dict[str, Tuple[Optional[type], List[type]]] = {
    "kepra_GetLastError": (_U32, []),
    "kepra_SetLastError": (None, [_U32]),
    "kepra_OpenDevice": (HANDLE, [_U32]),
    "kepra_CloseDevice": (_U32, [HANDLE]),
    "kepra_GetFrame16": (_U32, [HANDLE, c_void_p, _U32]),
    "kepra_GetFrameEx16": (_U32, [HANDLE, c_void_p, _U32]),
    "kepra_GetFrameAfterEx16": (_U32, [HANDLE, c_void_p, _U32, _U32]),
    "kepra_GetFrame8": (_U32, [HANDLE, c_void_p, _U32]),
    "kepra_GetFrameEx8": (_U32, [HANDLE, c_void_p, _U32]),
    "kepra_GetFrameAfterEx8": (_U32, [HANDLE, c_void_p, _U32, _U32]),
    "kepra_ReadSensorReg": (_U32, [HANDLE, _U32, _u16p]),
    "kepra_WriteSensorReg": (_U32, [HANDLE, _U32, _U32]),
    "kepra_GetFrequency": (_U32, [HANDLE, _u32p]),
    "kepra_SetFrequency": (_U32, [HANDLE, _U32]),
    "kepra_GetFrequencyD": (_U32, [HANDLE, _dp]),
    "kepra_SetFrequencyD": (_U32, [HANDLE, c_double]),
    "kepra_GetFrameTimeMinMax": (_U32, [HANDLE, _u32p, _u32p]),
    "kepra_GetFrameTime": (_U32, [HANDLE, _u32p]),
    "kepra_SetFrameTime": (_U32, [HANDLE, _U32]),
    "kepra_GetFrameRateMinMax": (_U32, [HANDLE, _dp, _dp]),
    "kepra_GetFrameRate": (_U32, [HANDLE, _dp]),
    "kepra_SetFrameRate": (_U32, [HANDLE, c_double, _dp]),
    "kepra_SetMinFrameRate": (_U32, [HANDLE]),
    "kepra_SetMaxFrameRate": (_U32, [HANDLE]),
    "kepra_GetExposureMinMax": (_U32, [HANDLE, _u32p, _u32p]),
    "kepra_GetExposureFramerateMax": (_U32, [HANDLE, _u32p]),
    "kepra_GetExposure": (_U32, [HANDLE, _u32p]),
    "kepra_SetExposure": (_U32, [HANDLE, _U32]),
    "kepra_GetExposureMinMaxMs": (_U32, [HANDLE, _dp, _dp]),
    "kepra_GetExposureFramerateMaxMs": (_U32, [HANDLE, _dp]),
    "kepra_GetExposureMs": (_U32, [HANDLE, _dp]),
    "kepra_SetExposureMs": (_U32, [HANDLE, c_double, _dp]),
    "kepra_GetExposureTimeMinMax": (_U32, [HANDLE, _u32p, _u32p]),
    "kepra_GetExposureTimeFramerateMax": (_U32, [HANDLE, _u32p]),
    "kepra_GetExposureTime": (_U32, [HANDLE, _u32p]),
    "kepra_SetExposureTime": (_U32, [HANDLE, _U32]),
    "kepra_GetFrameExposureMs": (c_double, [POINTER(kepra_FrameInfo)]),
    "kepra_GetGain": (_U32, [HANDLE, _dp, _dp]),
    "kepra_SetGain": (_U32, [HANDLE, c_double, c_double]),
    "kepra_GetGainC": (_U32, [HANDLE, _dp, _dp, _dp, _dp]),
    "kepra_SetGainC": (_U32, [HANDLE, c_double, c_double, c_double, c_double]),
    "kepra_GetIdentData": (_U32, [HANDLE, POINTER(kepra_IdentData)]),
    "kepra_SetIdentData": (_U32, [HANDLE, kepra_IdentData]),
    "kepra_GetCameraInfo": (_U32, [HANDLE, POINTER(kepra_CameraInfo)]),
    "kepra_GetCameraInfoEx": (_U32, [HANDLE, POINTER(kepra_CameraInfoEx)]),
    "kepra_CheckId": (_U32, [HANDLE, c_void_p, _u32p]),
    "kepra_GetVIDPID": (_U32, [HANDLE, _u16p, _u16p]),
    "kepra_SetVIDPID": (_U32, [HANDLE, c_uint16, c_uint16]),
    "kepra_GetDriverVer": (_U32, [HANDLE, _u8p, _u8p, _u16p, _u32p]),
    "kepra_GetUsbSpeed": (_U32, [HANDLE, _u32p, _u32p]),
    "kepra_DeviceReset": (_U32, [HANDLE]),
    "kepra_GetDrvLogMsg": (_U32, [HANDLE, c_char_p, _U32, _u32p]),
    "kepra_GetFWVersion": (_U32, [HANDLE, _u16p, _u16p, _u16p, _u16p, _u8p]),
    "CxReadSPIFlash": (_U32, [HANDLE, _U32, c_void_p, _U32]),
    "CxWriteSPIFlash": (_U32, [HANDLE, _U32, c_void_p, _U32]),
    "kepra_ReadFlash": (_U32, [HANDLE, _U32, c_void_p, _U32]),
    "kepra_WriteFlash": (_U32, [HANDLE, _U32, c_void_p, _U32]),
    "kepra_UpdateFW": (_U32, [HANDLE]),
    "kepra_UpdateFWFromFile": (_U32, [HANDLE, c_char_p]),
    "kepra_PostTestFWError": (_U32, [HANDLE]),
    "kepra_GetReadoutMode": (_U32, [HANDLE, _u32p]),
    "kepra_SetReadoutMode": (_U32, [HANDLE, _U32]),
    "kepra_GetHDR": (_U32, [HANDLE, _u8p]),
    "kepra_SetHDR": (_U32, [HANDLE, c_uint8]),
    "kepra_GetSnapshotParams": (_U32, [HANDLE, _u32p, _u8p]),
    "kepra_SetSnapshotParams": (_U32, [HANDLE, _U32, c_uint8]),
    "kepra_GetStrobeParams": (_U32, [HANDLE, _u32p, _u8p, _u8p, _u8p]),
    "kepra_SetStrobeParams": (_U32, [HANDLE, _U32, c_uint8, c_uint8, c_uint8]),
    "kepra_GetEventsState": (_U32, [HANDLE, _u8p]),
    "kepra_SetEventsState": (_U32, [HANDLE, c_uint8, c_uint8]),
    "kepra_CheckEventsState": (c_int32, [c_void_p, c_uint8, c_uint8]),
    "kepra_GetFrameParams": (_U32, [HANDLE, POINTER(kepra_FrameParams)]),
    "kepra_SetFrameParams": (_U32, [HANDLE, POINTER(kepra_FrameParams)]),
    "kepra_GetStreamMode": (_U32, [HANDLE, _u32p]),
    "kepra_SetStreamMode": (_U32, [HANDLE, _U32]),
    "kepra_SwitchFrontLED": (_U32, [HANDLE, c_uint8]),
    "kepra_GetFixBadPixels": (_U32, [HANDLE, _u8p, _u8p]),
    "kepra_SetFixBadPixels": (_U32, [HANDLE, c_uint8, _u8p]),
    "kepra_GetMaxBadPixelCount": (_U32, [HANDLE, _u16p]),
    "kepra_GetBadPixelCount": (_U32, [HANDLE, _u16p]),
    "kepra_GetBadPixelData": (_U32, [HANDLE, POINTER(kepra_BadPixel), c_uint16, _u16p]),
    "kepra_SetBadPixelData": (_U32, [HANDLE, POINTER(kepra_BadPixel), c_uint16, _u16p]),
    "kepra_GetLibraryVersion": (_U32, []),
    "kepra_ErrorText": (c_char_p, [_U32]),
    "kepra_GetFrameFormat": (_U32, [HANDLE, POINTER(kepra_FrameFormat)]),
    "kepra_OpenStream": (STREAM, [HANDLE, POINTER(kepra_StreamConfig)]),
    "kepra_SetFrameCallback": (_U32, [STREAM, FRAME_CALLBACK, c_void_p]),
    "kepra_StartStream": (_U32, [STREAM]),
    "kepra_NextFrame": (_U32, [STREAM, POINTER(kepra_Frame), _U32]),
    "kepra_ReleaseFrame": (_U32, [STREAM, POINTER(kepra_Frame)]),
    "kepra_StopStream": (_U32, [STREAM]),
    "kepra_GetStreamStats": (_U32, [STREAM, POINTER(kepra_StreamStats)]),
    "kepra_CloseStream": (_U32, [STREAM]),
}

# ---- Loading -------------------------------------------------------------------------------

_LIBRARY_NAMES = ("kepra.dll",) if WINDOWS else ("libkepra.so.1", "libkepra.so")


def _candidates() -> List[str]:
    """Where the library is looked for, in order: KEPRA_LIBRARY, beside the package, system."""
    found: List[str] = []
    explicit = os.environ.get("KEPRA_LIBRARY")
    if explicit:
        found.append(explicit)
    here = Path(__file__).resolve().parent
    for name in _LIBRARY_NAMES:
        if (here / name).exists():
            found.append(str(here / name))
    found.extend(_LIBRARY_NAMES)  # the system's search path
    return found


class Library:
    """The loaded library with its prototypes applied, and its last-error reader."""

    def __init__(self, path: Optional[str] = None) -> None:
        tried: List[str] = []
        handle = None
        for candidate in [path] if path else _candidates():
            try:
                if WINDOWS:
                    handle = ctypes.WinDLL(candidate, use_last_error=True)
                else:
                    handle = ctypes.CDLL(candidate)
                break
            except OSError as error:
                tried.append(f"{candidate}: {error}")
                # An explicit choice that fails is an error, not a cue to take another copy.
                if path or candidate == os.environ.get("KEPRA_LIBRARY"):
                    break
        if handle is None:
            raise OSError(
                "cannot load the kepra library (set KEPRA_LIBRARY to its path); tried:\n  "
                + "\n  ".join(tried)
            )
        self.dll = handle
        self.path = handle._name
        for name, (restype, argtypes) in PROTOTYPES.items():
            function = getattr(handle, name)
            function.restype = restype
            function.argtypes = argtypes
            setattr(self, name, function)
        if WINDOWS:
            # ctypes saves the thread's GetLastError right after each call.
            self.last_error: Callable[[], int] = ctypes.get_last_error
        else:
            # The library keeps its own per-thread value; nothing between the call and this
            # read runs library code on this thread, so it is still the call's.
            self.last_error = handle.kepra_GetLastError

    def __getattr__(self, name: str) -> Callable[..., object]:
        # Present for type checkers: every prototype is set as an attribute in __init__.
        raise AttributeError(name)


_library: Optional[Library] = None


def library() -> Library:
    """The process's library, loaded on first use."""
    global _library
    if _library is None:
        _library = Library()
    return _library
