"""Frames: shapes, values and buffers, checked against documented behaviour of the camera."""

from __future__ import annotations

import numpy as np
import pytest

import kepra

from conftest import BASE_INDEX


@pytest.mark.parametrize(
    "model, sensor",
    [("4", (1024, 1280)), ("5", (1024, 1280)), ("7", (1200, 1600)), ("8", (1200, 1600))],
)
def test_full_sensor_frame_of_each_model(virtcam, model, sensor):
    virtcam(model)
    with kepra.open(BASE_INDEX) as cam:
        info = cam.info
        assert (info.height, info.width) == sensor
        assert info.colour == (model in "58")
        frame = cam.grab()
        assert frame.shape == sensor and frame.dtype == np.uint16
        # Power-on setting: 10 significant bits, and a scene, not a blank.
        assert frame.max() < 1 << 10 and frame.std() > 1
        frame8 = cam.grab(depth=8)
        assert frame8.shape == sensor and frame8.dtype == np.uint8


@pytest.mark.parametrize(
    "params, shape",
    [
        (kepra.FrameParams(0, 0, 1280, 1024, 12, 2, 2), (512, 640)),
        (kepra.FrameParams(0, 0, 1280, 1024, 10, 4, 1), (1024, 320)),
        (kepra.FrameParams(64, 32, 640, 480, 8, 1, 2), (240, 640)),
        (kepra.FrameParams(1276, 1020, 4, 4, 10, 4, 4), (1, 1)),
    ],
)
def test_frame_parameters_set_the_shape_and_the_record_agrees(cam, params, shape):
    cam.frame_params = params
    assert cam.frame_params == params
    for depth in (16, 8):
        frame, info = cam.grab_info(depth)
        assert frame.shape == shape == params.frame_shape
        assert (info.height, info.width) == shape
        # 16-bit frames carry the configured depth, 8-bit ones 8 significant bits.
        assert info.bit_depth == (params.bit_depth if depth == 16 else 8)
        assert frame.max() < 1 << info.bit_depth
        assert cam.grab(depth).shape == shape


@pytest.mark.parametrize("bit_depth", [8, 10, 12])
def test_eight_bit_frame_is_the_sixteen_bit_frame_shifted(virtcam, bit_depth):
    # Two cameras of one daemon share seed and settings, so the frames with the same counter
    # are the same picture: one asked for at 16 bits, the other at 8.
    virtcam("4", "4")
    with kepra.open(BASE_INDEX) as a, kepra.open(BASE_INDEX + 1) as b:
        for cam in (a, b):
            cam.frame_params = kepra.FrameParams(0, 0, 1280, 1024, bit_depth, 2, 2)
        wide, wide_info = a.grab_info(16)
        narrow, narrow_info = b.grab_info(8)
        assert wide_info.frame_counter == narrow_info.frame_counter == 0xFFFFFF00
        assert wide.max() >= 1 << (bit_depth - 2)  # bright enough to lose bits in the shift
        np.testing.assert_array_equal(narrow, (wide >> (bit_depth - 8)).astype(np.uint8))


def test_out_is_filled_in_place_and_reused(cam):
    out = np.zeros((1024, 1280), np.uint16)
    result = cam.grab(out=out)
    assert result is out and out.any()
    out8 = np.zeros((1024, 1280), np.uint8)
    assert cam.grab(8, out=out8) is out8 and out8.any()
    # Alternating arrays: each grab lands in the array it was given.
    arrays = [np.zeros((1024, 1280), np.uint16) for _ in range(3)]
    for target in arrays + arrays[:1]:
        target[:] = 0
        assert cam.grab(out=target) is target and target.any()
        assert not any(other.any() for other in arrays if other is not target)
        target[:] = 0
    # A checked array that became read-only is refused again.
    arrays[0].flags.writeable = False
    with pytest.raises(ValueError, match="read-only"):
        cam.grab(out=arrays[0])
    # An array from grab owns its memory: nothing of the library's to outlive.
    fresh = cam.grab()
    assert fresh.flags.owndata or fresh.base is not None and fresh.base.flags.owndata


@pytest.mark.parametrize(
    "out, error",
    [
        (np.zeros((1024, 1279), np.uint16), ValueError),
        (np.zeros((1280, 1024), np.uint16), ValueError),
        (np.zeros((1024, 1280), np.uint8), TypeError),
        (np.zeros((1024, 1280), np.int16), TypeError),
        (np.zeros((1024, 2560), np.uint16)[:, ::2], ValueError),
        (np.zeros((1024 * 1280,), np.uint16), ValueError),
        (bytearray(1024 * 1280 * 2), TypeError),
    ],
)
def test_a_wrong_out_raises_before_a_frame_is_requested(cam, out, error):
    _, before = cam.grab_info()
    with pytest.raises(error):
        cam.grab(out=out)
    _, after = cam.grab_info()
    # Unpaced, every frame request makes one frame: the refused grab made none.
    assert after.frame_counter == before.frame_counter + 1


def test_read_only_out_and_bad_depth_are_refused(cam):
    out = np.zeros((1024, 1280), np.uint16)
    out.flags.writeable = False
    with pytest.raises(ValueError, match="read-only"):
        cam.grab(out=out)
    assert not out.any()
    for depth in (12, 0, True):
        with pytest.raises(ValueError, match="depth"):
            cam.grab(depth)


def test_grab_after_a_counter_delivers_a_newer_frame(cam):
    _, first = cam.grab_info()
    _, later = cam.grab_info(after=first.frame_counter + 10)
    assert later.frame_counter == (first.frame_counter + 11) & 0xFFFFFFFF
    # Across the wrap of the 32-bit counter, which starts 256 frames before it.
    _, wrapped = cam.grab_info(8, after=0xFFFFFFFF)
    assert wrapped.frame_counter == 0


def test_frame_record_carries_exposure_and_events(cam):
    cam.exposure_lines = 500
    cam.events = 0b0101
    _, info = cam.grab_info()
    assert info.exposure_lines == 500
    assert info.events == bytes([0b0101])
    assert info.find_event(0b0100, 0b0100) == 0
    assert info.find_event(0b0010, 0b0010) is None
    # Sensor-clock periods = lines x line length x 15.999554533002907, truncated; ms = periods
    # / (clock MHz x 1000). At power-on: 500 x 82 x 15.99955... = 655981.7 -> 655981, 40 MHz.
    assert (info.line_length, info.clock_mhz) == (82, 40)
    assert info.exposure_ms == 655981 / 40000
    assert info.exposure_ms == pytest.approx(cam.exposure_ms, rel=1e-6)


def test_bad_pixels_are_stuck_until_corrected(cam):
    cam.frame_params = kepra.FrameParams(0, 0, 1280, 1024, 12)
    cam.bad_pixels = [(10, 20, 1), (30, 40, 0)]
    assert cam.bad_pixels == [kepra.BadPixel(10, 20, 1), kepra.BadPixel(30, 40, 0)]
    cam.bad_pixel_fix = False
    frame = cam.grab()
    assert frame[20, 10] == 4095 and frame[40, 30] == 0
    cam.bad_pixel_fix = True
    frame = cam.grab()
    assert 0 < frame[20, 10] < 4095 and 0 < frame[40, 30] < 4095


def test_longer_exposure_brightens_in_proportion(cam):
    # The scene stays below half of full scale at the power-on exposure, so doubling the
    # exposure doubles the samples (up to noise) without clipping.
    cam.exposure_lines = 400
    dim = cam.grab().astype(float).mean()
    cam.exposure_lines = 800
    bright = cam.grab().astype(float).mean()
    assert bright / dim == pytest.approx(2.0, rel=0.05)


def test_frame_size_follows_changes_made_anywhere(cam, tmp_path):
    other = kepra.open(BASE_INDEX)  # a second handle of this process
    try:
        assert other.grab(8).shape == (1024, 1280)
        cam.frame_params = kepra.FrameParams(bin_x=2, bin_y=2)
        assert other.grab(8).shape == (512, 640)
    finally:
        other.close()
    # Another process changes the frame parameters: the record of the next frame shows it.
    import subprocess
    import sys

    script = "import kepra; c = kepra.open(%d); c.frame_params = kepra.FrameParams(bin_x=4); c.close()"
    subprocess.run([sys.executable, "-c", script % BASE_INDEX], check=True, env=_child_env())
    with pytest.raises(RuntimeError, match="expected 640x512"):
        cam.grab_info()
    assert cam.grab().shape == (1024, 320)
    cam.frame_params = kepra.FrameParams(bin_y=2)
    subprocess.run([sys.executable, "-c", script % BASE_INDEX], check=True, env=_child_env())
    assert cam.geometry()[:2] == (320, 1024)
    assert cam.grab().shape == (1024, 320)


def _child_env():
    import os
    from pathlib import Path

    env = dict(os.environ)
    env["PYTHONPATH"] = str(Path(kepra.__file__).resolve().parents[1])
    return env


def test_colour_gain_scales_its_sites_of_the_mosaic(virtcam):
    # Model 5 delivers an RGGB mosaic: R at even lines and columns, B at odd ones.
    virtcam("5")
    with kepra.open(BASE_INDEX) as cam:
        cam.exposure_lines = 400  # keep doubled samples clear of full scale
        before = cam.grab().astype(float)
        cam.colour_gain = (1.0, 1.0, 1.0, 2.0)
        after = cam.grab().astype(float)
    assert after[0::2, 0::2].mean() / before[0::2, 0::2].mean() == pytest.approx(2.0, rel=0.05)
    for sites in (np.s_[0::2, 1::2], np.s_[1::2, 0::2], np.s_[1::2, 1::2]):
        assert after[sites].mean() / before[sites].mean() == pytest.approx(1.0, rel=0.05)
