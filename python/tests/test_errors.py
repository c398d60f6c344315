"""Errors and their codes, closing, and a grab that blocks while other threads run."""

from __future__ import annotations

import os
import signal
import subprocess
import threading
import time

import numpy as np
import pytest

import kepra

from conftest import BASE_INDEX


def test_no_camera_at_an_index(virtcam):
    virtcam("4")
    with pytest.raises(kepra.KepraError) as caught:
        kepra.open(BASE_INDEX + 1)
    assert caught.value.function == "kepra_OpenDevice"
    assert caught.value.code != 0
    assert f"device index {BASE_INDEX + 1}" in str(caught.value)
    with pytest.raises(ValueError, match="outside 0..34"):
        kepra.open(35)
    assert [d.index for d in kepra.devices()] == [BASE_INDEX]


def test_refused_values_carry_code_text_and_function(cam):
    cases = [
        (lambda: setattr(cam, "exposure_ms", -1.0), "kepra_SetExposureMs"),
        (lambda: setattr(cam, "clock_mhz", 115), "kepra_SetFrequency"),
        (lambda: setattr(cam, "frame_rate", 0.0), "kepra_SetFrameRate"),
        (lambda: setattr(cam, "frame_params", kepra.FrameParams(bin_x=3)), "kepra_SetFrameParams"),
        (lambda: setattr(cam, "frame_params", kepra.FrameParams(x=8)), "kepra_SetFrameParams"),
        (lambda: cam.write_flash(0, b""), None),
    ]
    for action, function in cases:
        with pytest.raises(ValueError) as caught:
            action()
        if function is None:
            assert not isinstance(caught.value, kepra.KepraError)  # refused before sending
            continue
        error = caught.value
        assert isinstance(error, kepra.InvalidParameterError)
        assert (error.code, error.function) == (87, function)
        assert "ERROR_INVALID_PARAMETER" in error.text and function in str(error)
    # Nothing of the refused settings stuck.
    assert cam.clock_mhz == 40 and cam.frame_params == kepra.FrameParams()


def test_values_ctypes_would_wrap_are_refused_before_sending(cam):
    before = cam.strobe
    with pytest.raises(ValueError, match="strobe on delay 256"):
        cam.strobe = (1, 0, 256, False)
    with pytest.raises(ValueError, match="register address"):
        cam.write_register(0x1000E, 480)
    with pytest.raises(ValueError, match="exposure lines 1 "):
        cam.exposure_lines = 1
    with pytest.raises(ValueError, match="readout mode 4"):
        cam.readout_mode = 4
    with pytest.raises(TypeError):
        cam.write_register(14, 480.0)
    with pytest.raises(ValueError, match="1001 bad pixels"):
        cam.bad_pixels = [(0, 0, 0)] * 1001
    assert cam.strobe == before and cam.exposure_lines == 1000 and cam.bad_pixels == []


def test_snapshot_without_trigger_times_out(cam):
    cam.stream_mode = kepra.StreamMode.SNAPSHOT
    cam.snapshot = (150, False)
    start = time.monotonic()
    with pytest.raises(kepra.TriggerTimeoutError) as caught:
        cam.grab()
    assert time.monotonic() - start >= 0.14
    assert caught.value.code == 121 and caught.value.function == "kepra_GetFrame16"
    assert isinstance(caught.value, TimeoutError)


def test_unplugged_camera(virtcam):
    virtcam("4", extra=["--unplug-after-frames", "2"])
    with kepra.open(BASE_INDEX) as cam:
        cam.grab(8)
        cam.grab(8)
        with pytest.raises(kepra.DeviceNotConnectedError) as caught:
            cam.grab(8)
        assert caught.value.code == 1167
        with pytest.raises(kepra.KepraError) as caught:
            cam.exposure_lines = 100
        assert caught.value.code == 0xC000000D
        assert "STATUS_INVALID_PARAMETER" in str(caught.value)


def test_driver_failures_are_reported_with_their_code(virtcam):
    virtcam("4", extra=["--fail-every", "3"])
    with kepra.open(BASE_INDEX) as cam:
        failures = []
        for _ in range(9):
            try:
                cam.grab(8)  # one request, after the frame parameters were read once
            except kepra.KepraError as error:
                failures.append(error)
        assert 2 <= len(failures) <= 4
        assert all(type(e) is kepra.KepraError and e.code == 31 for e in failures)
        assert {e.function for e in failures} <= {"kepra_GetFrameParams", "kepra_GetFrame8"}
        assert "ERROR_GEN_FAILURE" in str(failures[0])


def test_versions_the_library_refuses(virtcam):
    virtcam("4", extra=["--driver-version", "0.1.97", "--fw-version", "1.0.1.5.0"])
    with kepra.open(BASE_INDEX) as cam:
        version = cam.driver_version
        assert (version.major, version.minor, version.build, version.accepted) == (0, 1, 97, False)
        assert str(cam.firmware_version) == "1.0.1.5.0"
        before = cam.read_flash(0, 0x100, whole=True)
        progress = []
        with pytest.raises(kepra.VersionError) as caught:
            cam.update_firmware(progress=lambda *p: progress.append(p))
        assert caught.value.code == 1638 and caught.value.function == "kepra_UpdateFW"
        assert progress == [(0, 1)]
        assert cam.read_flash(0, 0x100, whole=True) == before


def test_with_closes_on_exceptions(virtcam):
    virtcam("4")
    lib = kepra.library()
    buffer = np.zeros(16, np.uint8)
    for failure in (ZeroDivisionError, kepra.KepraError):
        with pytest.raises(failure):
            with kepra.open(BASE_INDEX) as cam:
                handle = cam.handle
                if failure is ZeroDivisionError:
                    1 / 0
                cam.exposure_ms = -1
        assert cam.closed
        # The library no longer knows the handle.
        assert lib.kepra_GetFrame16(handle, buffer.ctypes.data, buffer.nbytes) == 0
        assert lib.last_error() == 6
        with pytest.raises(ValueError, match="closed"):
            cam.grab()
        cam.close()  # a second close does nothing
    with kepra.open(BASE_INDEX) as again:
        assert again.grab().shape == (1024, 1280)


def test_other_threads_run_while_a_grab_waits_for_its_trigger(virtcam):
    daemon = virtcam("4")
    with kepra.open(BASE_INDEX) as cam:
        cam.stream_mode = kepra.StreamMode.SNAPSHOT
        cam.snapshot = (0, False)  # wait without limit
        result = {}

        def grab() -> None:
            result["frame"] = cam.grab(8)

        # Should the grab hold the interpreter, this thread could not trigger it: a trigger from
        # outside ends the wait after 5 s, and the checks below then fail instead of hanging.
        backup = subprocess.Popen(
            ["sh", "-c", f"sleep 5 && kill -USR1 {daemon.process.pid}"], start_new_session=True
        )
        waiter = threading.Thread(target=grab, daemon=True)
        waiter.start()
        time.sleep(0.2)
        # Meanwhile this thread gets the interpreter and the camera's lock.
        counted, settings_read, deadline = 0, 0, time.monotonic() + 0.3
        while time.monotonic() < deadline:
            counted += 1
            if counted % 1000 == 0:
                assert cam.exposure_lines == 1000
                settings_read += 1
        assert waiter.is_alive() and "frame" not in result
        assert counted > 10000 and settings_read > 5
        daemon.trigger()
        waiter.join(10)
        assert not waiter.is_alive()
        assert result["frame"].shape == (1024, 1280)
        os.killpg(backup.pid, signal.SIGKILL)
        backup.wait()


def test_error_text_of_unknown_and_known_codes():
    assert kepra.error_text(87).startswith("ERROR_INVALID_PARAMETER")
    # A code the package does not name: the library's text, which says it does not know it.
    unknown = kepra.error_text(0xDEAD)
    assert "unknown" in unknown.lower() and unknown.endswith("(0x0000DEAD)")
    error = kepra.KepraError(0xC0000008, kepra.error_text(0xC0000008), "kepra_SetGain")
    assert str(error).startswith("kepra_SetGain failed: last error 0xC0000008 (STATUS_INVALID_HANDLE")
