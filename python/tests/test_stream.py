"""Streams: frames are copies the application owns, strategies and statistics, a stop from
another thread, closing."""

from __future__ import annotations

import threading
import time

import numpy as np
import pytest

import kepra
from conftest import BASE_INDEX


def test_stream_frames_are_the_camera_s_frames_and_outlive_their_buffers(virtcam):
    # Two cameras of one daemon share seed and settings: the frame with a given counter is the
    # same picture on both. Two buffers, six frames kept: each buffer was reused while the
    # earlier arrays were still held, so only copies can still match.
    virtcam("4", "4")
    with kepra.open(BASE_INDEX) as a, kepra.open(BASE_INDEX + 1) as b:
        with a.stream(buffers=2) as s:
            frames = [s.next(timeout=5) for _ in range(6)]
            # The unpaced camera makes a frame per request, so frames the full pool dropped
            # leave the same gaps in the stream's sequence as in the camera's counter.
            counters = [meta.frame_counter - frames[0][1].frame_counter for _, meta in frames]
            assert counters == [meta.sequence for _, meta in frames] == sorted(set(counters))
            for array, meta in frames:
                assert array.shape == (1024, 1280) and array.dtype == np.uint16
                assert meta.info.frame_counter == meta.frame_counter and meta.bit_depth == 10
                expected, info = b.grab_info(after=(meta.frame_counter - 1) & 0xFFFFFFFF)
                assert info.frame_counter == meta.frame_counter
                np.testing.assert_array_equal(array, expected)
        assert len({a.tobytes() for a, _ in frames}) == 6  # still six pictures after the close
        with a.stream(depth=8, info=False) as s:
            array, meta = s.next(timeout=5)
        assert array.dtype == np.uint8 and array.shape == (1024, 1280) and array.max() > 0
        assert (meta.frame_counter, meta.timestamp_us, meta.info) == (0, 0, None)


def test_oldest_first_keeps_what_it_queued_newest_only_replaces(cam):
    with cam.stream(buffers=2, strategy="oldest") as s:
        s.next(timeout=5)
        time.sleep(0.3)  # the unpaced camera fills both buffers and more meanwhile
        s.stop()
        taken = [meta.sequence for _, meta in s]  # drains the queue, then ends
        stats = s.stats
    assert len(taken) == 2 and 0 < taken[0] < taken[1] <= 3
    assert stats.dropped > 0 and stats.skipped == 0 and stats.delivered == 3
    assert stats.received == stats.delivered + stats.dropped
    assert not stats.running and stats.queued == stats.held == 0
    with cam.stream(buffers=2, strategy="newest") as s:
        s.next(timeout=5)
        time.sleep(0.3)
        _, meta = s.next(timeout=5)
        stats = s.stats
    # Only the newest waits: what came is one of the last ones received, far past the first.
    assert stats.dropped > 0 and meta.sequence >= stats.received - 2 > 2


def test_stop_from_another_thread_releases_a_blocked_next(virtcam):
    virtcam("4", unpaced=False)
    with kepra.open(BASE_INDEX) as cam:
        cam.stream_mode = kepra.StreamMode.SNAPSHOT
        cam.snapshot = (0, False)  # waits for a trigger without limit; none comes
        with cam.stream() as s:
            with pytest.raises(kepra.StreamTimeoutError) as timed_out:
                s.next(timeout=0.05)
            assert timed_out.value.code == 1460 and isinstance(timed_out.value, TimeoutError)
            outcome = []

            def wait() -> None:
                try:
                    s.next()
                except kepra.KepraError as error:
                    outcome.append(error)

            waiter = threading.Thread(target=wait)
            waiter.start()
            time.sleep(0.3)
            assert waiter.is_alive()  # blocked in the library, the GIL free for this thread
            s.stop()
            waiter.join(timeout=5)
            assert not waiter.is_alive()
            assert isinstance(outcome[0], kepra.StreamStoppedError) and outcome[0].code == 995
            assert list(s) == [] and s.stats.delivered == 0


def test_with_closes_the_stream_on_an_exception_and_the_camera_goes_on(cam):
    with pytest.raises(KeyError):
        with cam.stream() as s:
            s.next(timeout=5)
            raise KeyError("boom")
    assert s.closed
    with pytest.raises(ValueError, match="closed"):
        s.next(timeout=1)
    assert cam.grab().shape == (1024, 1280)
    with cam.stream(buffers=1) as again:
        with pytest.raises(kepra.InvalidStateError):
            again.start()  # already running


def test_frame_format_of_binned_and_colour_frames(virtcam):
    virtcam("4", "5")
    with kepra.open(BASE_INDEX) as mono, kepra.open(BASE_INDEX + 1) as colour:
        mono.frame_params = kepra.FrameParams(0, 0, 1280, 1024, 12, 2, 2)
        # 640 x 512 samples: 327680 bytes at depth 8, twice that at 16, plus the record in front.
        assert mono.frame_format() == kepra.FrameFormat(640, 512, 12, 327680, 655360, 331776, 659456, "none")
        assert colour.frame_format().colour_filter in ("RGGB", "GRBG", "GBRG", "BGGR")
