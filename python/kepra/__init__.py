"""kepra: Python access to kepra USB 3 industrial cameras.

    import kepra
    print(kepra.devices())
    with kepra.open(0) as cam:
        cam.exposure_ms = 5.0
        frame = cam.grab()            # numpy uint16 array, (height, width)

Frames are written by the camera straight into numpy-owned memory. Failed library calls raise
`kepra.KepraError` (or a subclass) with the last-error code, its text and the C function.
The library is loaded from $KEPRA_LIBRARY, from beside this package, or from the system's
library path (libkepra.so.1 / kepra.dll).
"""

from ._format import Geometry
from ._lib import (
    FIRMWARE_REGION_SIZE,
    FLASH_SIZE,
    FRAME_INFO_SIZE,
    MAX_BAD_PIXELS,
    MAX_DEVICES,
    USER_AREA_BASE,
    USER_AREA_SIZE,
    library,
)
from .camera import SECTOR_SIZE, Camera, devices, open
from .stream import Stream, StreamFrameInfo, StreamStats
from .errors import (
    DeviceNotConnectedError,
    FirmwareFileError,
    InsufficientBufferError,
    InvalidAddressError,
    InvalidHandleError,
    InvalidParameterError,
    InvalidStateError,
    KepraError,
    NotReadyError,
    StreamStoppedError,
    StreamTimeoutError,
    TriggerTimeoutError,
    VersionError,
    error_text,
)
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

__version__ = "0.1.0"

__all__ = [
    "BadPixel",
    "Camera",
    "CameraInfo",
    "CameraInfoEx",
    "ColourGain",
    "DeviceInfo",
    "DeviceNotConnectedError",
    "DriverVersion",
    "FIRMWARE_REGION_SIZE",
    "FLASH_SIZE",
    "FRAME_INFO_SIZE",
    "FirmwareFileError",
    "FirmwareVersion",
    "FrameFormat",
    "FrameInfo",
    "FrameParams",
    "Gain",
    "Geometry",
    "InsufficientBufferError",
    "InvalidAddressError",
    "InvalidHandleError",
    "InvalidParameterError",
    "InvalidStateError",
    "KepraError",
    "MAX_BAD_PIXELS",
    "MAX_DEVICES",
    "NotReadyError",
    "SECTOR_SIZE",
    "Snapshot",
    "Stream",
    "StreamFrameInfo",
    "StreamMode",
    "StreamStats",
    "StreamStoppedError",
    "StreamTimeoutError",
    "Strobe",
    "TriggerTimeoutError",
    "USER_AREA_BASE",
    "USER_AREA_SIZE",
    "VersionError",
    "devices",
    "error_text",
    "library",
    "open",
]
