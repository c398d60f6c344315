"""Failed calls raise the exception of their code; values ctypes would wrap never reach the
library; closing."""

from __future__ import annotations

import time

import numpy as np
import pytest

import kepra

from conftest import BASE_INDEX


def test_library_refusals_carry_code_text_and_function(cam):
    for action, function in [
        (lambda: setattr(cam, "exposure_ms", -1.0), "kepra_SetExposureMs"),
        (lambda: setattr(cam, "clock_mhz", 115), "kepra_SetFrequency"),
        (lambda: setattr(cam, "frame_params", kepra.FrameParams(bin_x=3)), "kepra_SetFrameParams"),
        (lambda: setattr(cam, "bad_pixels", [(1280, 0, 0)]), "kepra_SetBadPixelData"),
    ]:
        with pytest.raises(kepra.InvalidParameterError) as caught:
            action()
        assert isinstance(caught.value, ValueError)
        assert (caught.value.code, caught.value.function) == (87, function)
        assert str(caught.value).startswith(f"{function} failed: last error 87 (ERROR_INVALID_PARAMETER:")
    assert cam.clock_mhz == 40 and cam.frame_params == kepra.FrameParams()
    # A mode this sensor variant lacks fails without a code: the package says so.
    with pytest.raises(kepra.KepraError) as caught:
        cam.readout_mode = 3
    assert caught.value.code == 0 and "not supported" in str(caught.value)


@pytest.mark.parametrize(
    "action, error, match",
    [
        (lambda c: setattr(c, "strobe", (1, 0, 256, False)), ValueError, "strobe on delay 256"),
        (lambda c: c.write_register(0x1000E, 480), ValueError, "register address 65550"),
        (lambda c: c.write_register(14, 480.0), TypeError, "register value must be an integer"),
        (lambda c: setattr(c, "exposure_lines", 1), ValueError, "exposure lines 1 is outside 2..65534"),
        (lambda c: setattr(c, "readout_mode", 4), ValueError, "readout mode 4"),
        (lambda c: setattr(c, "snapshot", (0x80000000, False)), ValueError, "above 0x7FFFFFFF"),
        (lambda c: setattr(c, "stream_mode", 7), ValueError, "StreamMode"),
        (lambda c: setattr(c, "bad_pixels", [(0, 0, 0)] * 1001), ValueError, "1001 bad pixels"),
        (lambda c: setattr(c, "ident_data", b"\0" * 77), ValueError, "78 bytes, not 77"),
        (lambda c: c.grab(12), ValueError, "depth"),
        (lambda c: c.grab(True), ValueError, "depth"),
        (lambda c: c.read_flash(kepra.USER_AREA_SIZE - 4, 5), ValueError, "past the end of the user area"),
        (lambda c: c.read_flash(kepra.FLASH_SIZE, 1, whole=True), ValueError, "past the end of the flash"),
        (lambda c: c.write_flash(0, b""), ValueError, "length is 0"),
        (lambda c: c.update_firmware(bytes(0x160001), lambda *p: None), ValueError, "more than the 1441792"),
        (lambda c: c.update_firmware(b""), ValueError, "empty"),
        (lambda c: c.update_firmware("/nonexistent/camera.img"), FileNotFoundError, "camera.img"),
        (lambda c: c.stream(strategy="fifo"), ValueError, "strategy"),
        (lambda c: c.stream(depth=12), ValueError, "depth"),
        (lambda c: c.stream(buffers=1025), ValueError, "buffers"),
    ],
)
def test_values_the_package_refuses_before_sending(cam, action, error, match):
    with pytest.raises(error, match=match) as caught:
        action(cam)
    assert not isinstance(caught.value, kepra.KepraError)
    assert cam.strobe == kepra.Strobe(0, 0, 0, False) and cam.exposure_lines == 1000


def test_codes_map_to_their_exceptions(virtcam):
    virtcam("4", extra=["--unplug-after-frames", "1"])
    with pytest.raises(kepra.KepraError) as caught:
        kepra.open(BASE_INDEX + 1)
    assert caught.value.function == "kepra_OpenDevice" and f"device index {BASE_INDEX + 1}" in str(caught.value)
    with pytest.raises(ValueError, match="outside 0..34"):
        kepra.open(35)
    with kepra.open(BASE_INDEX) as cam:
        cam.stream_mode = kepra.StreamMode.SNAPSHOT
        cam.snapshot = (150, False)
        start = time.monotonic()
        with pytest.raises(kepra.TriggerTimeoutError) as caught:
            cam.grab()
        assert time.monotonic() - start >= 0.14  # milliseconds, as documented
        assert isinstance(caught.value, TimeoutError)
        assert (caught.value.code, caught.value.function) == (121, "kepra_GetFrame16")
        cam.stream_mode = kepra.StreamMode.FREE_RUNNING
        cam.grab(8)
        with pytest.raises(kepra.DeviceNotConnectedError) as caught:
            cam.grab(8)
        assert (caught.value.code, caught.value.function) == (1167, "kepra_GetFrame8")
        with pytest.raises(kepra.KepraError) as caught:
            cam.exposure_lines = 100
        assert type(caught.value) is kepra.KepraError  # a code without a class of its own
        assert "last error 0xC000000D (STATUS_INVALID_PARAMETER" in str(caught.value)


def test_versions_the_library_refuses(virtcam):
    virtcam("4", extra=["--driver-version", "0.1.97", "--fw-version", "1.0.1.5.0"])
    with kepra.open(BASE_INDEX) as cam:
        assert cam.driver_version == kepra.DriverVersion(0, 1, 97, False, False)
        assert str(cam.firmware_version) == "1.0.1.5.0"
        progress = []
        with pytest.raises(kepra.VersionError) as caught:
            cam.update_firmware(progress=lambda *p: progress.append(p))
        assert (caught.value.code, caught.value.function) == (1638, "kepra_UpdateFW")
        assert progress == [(0, 1)]


def test_with_closes_on_exceptions_and_the_handle_is_gone(virtcam):
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
        assert lib.kepra_GetFrame16(handle, buffer.ctypes.data, buffer.nbytes) == 0
        assert lib.last_error() == 6
        with pytest.raises(ValueError, match="closed"):
            cam.grab()
        cam.close()  # a second close does nothing
    with kepra.open(BASE_INDEX) as again:
        assert again.grab().shape == (1024, 1280)


def test_error_text_of_unknown_and_known_codes():
    assert kepra.error_text(87).startswith("ERROR_INVALID_PARAMETER")
    # A code the package does not name: the library's text, which says it does not know it.
    unknown = kepra.error_text(0xDEAD)
    assert "unknown" in unknown.lower() and unknown.endswith("(0x0000DEAD)")
