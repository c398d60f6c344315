"""Streams: frames grabbed on the library's own thread into a pool of buffers.

    with cam.stream(buffers=8, strategy="oldest") as s:
        for frame, meta in s:
            ...

Each frame is copied out of the library's pool into a fresh numpy array before its buffer is
given back, so the array is the application's for as long as it likes. A numpy view on a pool
buffer would be overwritten (or freed) as soon as the buffer is reused: that is the crash
this copy exists to prevent.
"""

from __future__ import annotations

import ctypes
import threading
from ctypes import byref
from dataclasses import dataclass
from typing import TYPE_CHECKING, Iterator, Optional, Tuple

import numpy as np

from . import _lib
from ._lib import kepra_Frame, kepra_FrameInfo, kepra_StreamConfig, kepra_StreamStats
from .errors import KepraError, make_error
from .types import FrameInfo

if TYPE_CHECKING:
    from .camera import Camera

_STRATEGIES = {"oldest": _lib.STREAM_OLDEST_FIRST, "newest": _lib.STREAM_NEWEST_ONLY}
_ABORTED = 995
_TIMEOUT = 1460
_INFINITE = 0xFFFFFFFF
# Iteration waits in slices this long, so that Ctrl-C reaches a loop waiting for frames.
_SLICE_MS = 200


@dataclass(frozen=True)
class StreamFrameInfo:
    """What the stream knows of a frame.

    `sequence` counts frames received since the start (a gap: frames dropped by the stream);
    `frame_counter` and `timestamp_us` (camera time) come from the frame's record and are 0
    for a stream opened with info=False; `arrival_us` is the host's monotonic time when the
    grab completed. `info` is the full record (info=True only).
    """

    sequence: int
    frame_counter: int
    timestamp_us: int
    arrival_us: int
    bit_depth: int
    info: Optional[FrameInfo]


@dataclass(frozen=True)
class StreamStats:
    """Counts since the last start: frames `received` from the camera, `delivered` to the
    application, `skipped` by the camera's frame counter (the stream never got them),
    `dropped` by the stream (no free buffer, or replaced in newest-only), and `failures` of
    grab requests (`last_error` the code of the last). `queued` wait to be taken; `held` are
    taken and not yet given back."""

    running: bool
    received: int
    delivered: int
    skipped: int
    dropped: int
    failures: int
    last_error: int
    queued: int
    held: int


class Stream:
    """A running stream on an open camera (`Camera.stream`); close it with `close()` or by
    leaving its `with` block, which stops it and frees its buffers.

    Iterating yields (array, StreamFrameInfo) until the stream is stopped (by `stop()`, from
    any thread) and the frames queued before the stop are taken. Each array is a copy the
    application owns: the pool buffer goes back to the library before the array is returned,
    never a view on it (a view on a buffer the library reuses would show another frame, or
    crash once the stream is closed).

    `next`, `stop` and `stats` may be called from any thread; `close` must be the last call.
    """

    def __init__(
        self,
        camera: "Camera",
        buffers: int = 8,
        strategy: str = "oldest",
        depth: int = 16,
        info: bool = True,
    ) -> None:
        self._stream = None
        if strategy not in _STRATEGIES:
            raise ValueError(f"strategy must be 'oldest' or 'newest', not {strategy!r}")
        if isinstance(depth, bool) or depth not in (8, 16):
            raise ValueError(f"depth must be 8 or 16, not {depth!r}")
        if isinstance(buffers, bool) or not isinstance(buffers, int) or not 1 <= buffers <= 1024:
            raise ValueError(f"buffers must be an integer in 1..1024, not {buffers!r}")
        self._camera = camera  # keeps the camera open while the stream lives
        self._lib = lib = camera._lib
        self._depth = depth
        self._dtype = np.dtype(np.uint16 if depth == 16 else np.uint8)
        self._info = bool(info)
        config = kepra_StreamConfig(
            Size=ctypes.sizeof(kepra_StreamConfig),
            Depth=depth,
            BufferCount=buffers,
            Strategy=_STRATEGIES[strategy],
            WithInfo=1 if info else 0,
        )
        stream = lib.kepra_OpenStream(camera.handle, byref(config))
        if not stream:
            raise make_error(int(lib.last_error()), "kepra_OpenStream")
        self._stream = stream
        self._closing = threading.Lock()
        self.start()

    # ---- life cycle ----------------------------------------------------------------------

    @property
    def closed(self) -> bool:
        return self._stream is None

    def _handle(self) -> object:
        stream = self._stream
        if stream is None:
            raise ValueError("the stream is closed")
        return stream

    def _check(self, ok: int, function: str) -> None:
        if not ok:
            raise make_error(int(self._lib.last_error()), function)

    def start(self) -> None:
        """Starts grabbing (done by `Camera.stream`; call it again after `stop`). Frames still
        queued are discarded and the statistics start again."""
        self._check(self._lib.kepra_StartStream(self._handle()), "kepra_StartStream")

    def stop(self) -> None:
        """Stops grabbing and returns promptly, from any thread: a grab waiting for the camera
        is cancelled and every `next` waiting on the stream is woken. Frames queued before the
        stop are still handed out, then iteration ends."""
        self._check(self._lib.kepra_StopStream(self._handle()), "kepra_StopStream")

    def close(self) -> None:
        """Stops the stream and frees its buffers; a second close does nothing. Arrays already
        returned stay valid (they are copies)."""
        with self._closing:
            stream, self._stream = self._stream, None
        if stream is not None:
            self._check(self._lib.kepra_CloseStream(stream), "kepra_CloseStream")

    def __enter__(self) -> "Stream":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __del__(self) -> None:
        if getattr(self, "_stream", None) is not None:
            try:
                self.close()
            except Exception:
                pass

    def __repr__(self) -> str:
        return f"<kepra.Stream of camera {self._camera.index} {'closed' if self.closed else 'open'}>"

    # ---- frames ----------------------------------------------------------------------------

    def _take(self, timeout_ms: int) -> Tuple[np.ndarray, StreamFrameInfo]:
        stream = self._handle()
        frame = kepra_Frame(Size=ctypes.sizeof(kepra_Frame))
        # ctypes releases the GIL for the wait.
        if not self._lib.kepra_NextFrame(stream, byref(frame), timeout_ms):
            raise make_error(int(self._lib.last_error()), "kepra_NextFrame")
        try:
            # The copy: the array must outlive the pool buffer, which goes back below.
            dtype = np.uint16 if frame.Depth == 16 else np.uint8
            array = np.empty((frame.Height, frame.Width), dtype)
            if array.nbytes != frame.Bytes:
                raise RuntimeError(
                    f"stream frame of {frame.Bytes} bytes does not fill {frame.Width}x"
                    f"{frame.Height} samples of {frame.Depth} bits"
                )
            ctypes.memmove(array.ctypes.data, frame.Samples, frame.Bytes)
            record: Optional[FrameInfo] = None
            if frame.Info:
                from .camera import _frame_info

                record = _frame_info(self._lib, kepra_FrameInfo.from_buffer_copy(frame.Info.contents))
        finally:
            self._check(self._lib.kepra_ReleaseFrame(stream, byref(frame)), "kepra_ReleaseFrame")
        meta = StreamFrameInfo(
            sequence=frame.Sequence,
            frame_counter=frame.FrameCounter,
            timestamp_us=frame.TimestampUs,
            arrival_us=frame.ArrivalUs,
            bit_depth=frame.BitDepth,
            info=record,
        )
        return array, meta

    def next(self, timeout: Optional[float] = None) -> Tuple[np.ndarray, StreamFrameInfo]:
        """The oldest queued frame as (array, StreamFrameInfo), waiting up to `timeout`
        seconds (None: without limit). Blocks without the GIL. Raises StreamTimeoutError
        (a TimeoutError) when none came in time, StreamStoppedError once the stream is
        stopped and its queue is empty, DeviceNotConnectedError when the camera went away."""
        if timeout is None:
            timeout_ms = _INFINITE
        else:
            if timeout < 0:
                raise ValueError(f"timeout must not be negative, not {timeout!r}")
            timeout_ms = min(int(round(timeout * 1000)), _INFINITE - 1)
        return self._take(timeout_ms)

    def __iter__(self) -> Iterator[Tuple[np.ndarray, StreamFrameInfo]]:
        while True:
            try:
                yield self._take(_SLICE_MS)
            except KepraError as error:
                if error.code == _TIMEOUT:
                    continue
                if error.code == _ABORTED:
                    return
                raise

    @property
    def stats(self) -> StreamStats:
        """The stream's counters, read afresh."""
        record = kepra_StreamStats(Size=ctypes.sizeof(kepra_StreamStats))
        self._check(self._lib.kepra_GetStreamStats(self._handle(), byref(record)), "kepra_GetStreamStats")
        return StreamStats(
            running=bool(record.Running),
            received=record.Received,
            delivered=record.Delivered,
            skipped=record.Skipped,
            dropped=record.Dropped,
            failures=record.Failures,
            last_error=record.LastError,
            queued=record.Queued,
            held=record.Held,
        )
