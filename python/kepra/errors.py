"""Exceptions for failed library calls.

Every failed call raises a `KepraError` carrying the thread's last-error value (`code`), its
name and meaning (`text`) and the C function that failed (`function`). The commonest codes
have subclasses, so that callers can catch what they can act on.

Mistakes the package catches before anything is sent to the camera (a buffer of the wrong
shape, a value out of range) raise `ValueError` or `TypeError` instead: no code was set.
"""

from __future__ import annotations

from typing import Dict, Tuple, Type

# Names and meanings of the codes the library and its platform document. Codes outside the
# table are reported by number.
_CODES: Dict[int, Tuple[str, str]] = {
    0: ("ERROR_SUCCESS", "no error code was set"),
    1: ("ERROR_INVALID_FUNCTION", "the driver does not know the request"),
    2: ("ERROR_FILE_NOT_FOUND", "no such file"),
    5: ("ERROR_ACCESS_DENIED", "access denied"),
    6: ("ERROR_INVALID_HANDLE", "the camera handle is not valid"),
    8: ("ERROR_NOT_ENOUGH_MEMORY", "not enough memory"),
    13: ("ERROR_INVALID_DATA", "the data is not valid"),
    21: ("ERROR_NOT_READY", "the camera is in its boot loader (no valid firmware)"),
    30: ("ERROR_READ_FAULT", "the firmware file cannot be read"),
    31: ("ERROR_GEN_FAILURE", "the camera or driver failed the request"),
    87: ("ERROR_INVALID_PARAMETER", "a value is out of range or refused"),
    121: ("ERROR_SEM_TIMEOUT", "no trigger came within the snapshot timeout"),
    122: ("ERROR_INSUFFICIENT_BUFFER", "the buffer is too small"),
    259: ("ERROR_NO_MORE_ITEMS", "no more items"),
    487: ("ERROR_INVALID_ADDRESS", "a required pointer is null"),
    995: ("ERROR_OPERATION_ABORTED", "the operation was stopped"),
    998: ("ERROR_NOACCESS", "invalid access to memory"),
    1117: ("ERROR_IO_DEVICE", "I/O device error"),
    1167: ("ERROR_DEVICE_NOT_CONNECTED", "the camera is gone"),
    1460: ("ERROR_TIMEOUT", "the wait timed out"),
    1638: ("ERROR_PRODUCT_VERSION", "driver or firmware version is not the one required"),
    1784: ("ERROR_INVALID_USER_BUFFER", "the buffer is not valid"),
    5023: ("ERROR_INVALID_STATE", "not possible in the stream's present state"),
    0xC0000008: ("STATUS_INVALID_HANDLE", "the device lock was given an invalid handle"),
    0xC000000D: ("STATUS_INVALID_PARAMETER", "the driver refused the device-index request"),
}


def error_text(code: int) -> str:
    """`NAME: meaning` for a code this package names; else the library's own text for it
    (kepra_ErrorText) with the number in hex, or just the number when no library loads."""
    entry = _CODES.get(code)
    if entry is not None:
        return f"{entry[0]}: {entry[1]}"
    try:
        from ._lib import library

        text = library().kepra_ErrorText(code & 0xFFFFFFFF)
    except (OSError, AttributeError):
        text = None
    if text:
        return f"{text.decode('utf-8', 'replace')} (0x{code:08X})"
    return f"unknown error 0x{code:08X}"


class KepraError(Exception):
    """A library call failed; `code` is the thread's last-error value after it."""

    code: int
    text: str
    function: str

    def __init__(self, code: int, text: str, function: str) -> None:
        super().__init__(code, text, function)
        self.code = code
        self.text = text
        self.function = function

    def __str__(self) -> str:
        number = f"0x{self.code:08X}" if self.code >= 0x80000000 else str(self.code)
        return f"{self.function} failed: last error {number} ({self.text})"


class InvalidHandleError(KepraError):
    """6 or 0xC0000008: the camera handle is not (or no longer) valid."""


class InvalidParameterError(KepraError, ValueError):
    """87: the library or the camera refused a value."""


class InsufficientBufferError(KepraError):
    """122: a buffer below the function's minimum."""


class InvalidAddressError(KepraError):
    """487: a required pointer was null."""


class NotReadyError(KepraError):
    """21: the camera runs its boot loader; update the firmware and reset it."""


class TriggerTimeoutError(KepraError, TimeoutError):
    """121: snapshot mode and no trigger within the snapshot timeout."""


class DeviceNotConnectedError(KepraError):
    """1167: the camera went away; close it and open it again."""


class VersionError(KepraError):
    """1638: the driver or firmware version is not the one the library requires."""


class FirmwareFileError(KepraError):
    """30: the firmware file could not be read."""


class StreamStoppedError(KepraError):
    """995: the stream is stopped (or was never started) and no frame is queued."""


class StreamTimeoutError(KepraError, TimeoutError):
    """1460: no frame came within the time-out."""


class InvalidStateError(KepraError):
    """5023: not possible in the stream's present state (e.g. started twice)."""


_SUBCLASSES: Dict[int, Type[KepraError]] = {
    6: InvalidHandleError,
    0xC0000008: InvalidHandleError,
    21: NotReadyError,
    30: FirmwareFileError,
    87: InvalidParameterError,
    121: TriggerTimeoutError,
    122: InsufficientBufferError,
    487: InvalidAddressError,
    1167: DeviceNotConnectedError,
    1638: VersionError,
    995: StreamStoppedError,
    1460: StreamTimeoutError,
    5023: InvalidStateError,
}


def make_error(code: int, function: str) -> KepraError:
    """The exception for a failed call of `function` that left `code`."""
    return _SUBCLASSES.get(code, KepraError)(code, error_text(code), function)
