"""Settings, frames, identity and flash through the wrapper: each value reaches the right
argument of the right export in the right unit, and frames land in numpy-owned memory."""

from __future__ import annotations

import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import kepra

from conftest import BASE_INDEX


def test_settings_round_trip_with_their_types(cam):
    # Values that differ field by field, so that two fields swapped on the way show.
    for name, value, expected in [
        ("gain", (2.0, 1.5), kepra.Gain(2.0, 1.5)),
        ("colour_gain", (0.5, 1.25, 2.0, 3.0), kepra.ColourGain(0.5, 1.25, 2.0, 3.0)),
        ("snapshot", (250, True), kepra.Snapshot(250, True)),
        ("strobe", (2, 0x12, 0x34, True), kepra.Strobe(2, 0x12, 0x34, True)),
        ("frame_params", kepra.FrameParams(16, 8, 640, 480, 12, 2, 4, mirror_x=True),
         kepra.FrameParams(16, 8, 640, 480, 12, 2, 4, mirror_x=True)),
        ("frame_params", kepra.FrameParams(flip_y=True), kepra.FrameParams(flip_y=True)),
        ("bad_pixels", [(10, 20, 1), (30, 40, 0)], [kepra.BadPixel(10, 20, 1), kepra.BadPixel(30, 40, 0)]),
        ("bad_pixel_fix", True, True),
        ("hdr", True, True),
        ("readout_mode", 2, 2),
        ("stream_mode", kepra.StreamMode.SNAPSHOT, kepra.StreamMode.SNAPSHOT),
        ("events", 0b0101, 0b0101),
        ("exposure_lines", 500, 500),
    ]:
        setattr(cam, name, value)
        got = getattr(cam, name)
        assert got == expected and type(got) is type(expected), name
    # Strobe delays in register 5 (on << 8 | off), polarity in register 7 bit 14.
    assert cam.read_register(5) == 0x3412 and cam.read_register(7) & 0x4000
    cam.write_register(14, 480)  # the sensor's exposure register
    assert cam.exposure_lines == 480
    cam.set_events(0b0010, 0b0010)  # what the mask does: the API suite's settings tests
    assert cam.events == 0b0111


def test_exposure_and_frame_time_in_their_units(cam):
    # One line lasts 82 (line length) x 15.999554533 = 1311.96 sensor-clock periods.
    # 500 lines: 655981.7 -> 655981 periods, at 40 MHz 16.399525 ms.
    cam.exposure_lines = 500
    assert cam.exposure_time == 655981
    assert cam.exposure_ms == pytest.approx(16.399525, abs=1e-9)
    _, info = cam.grab_info()
    assert (info.exposure_lines, info.line_length, info.clock_mhz) == (500, 82, 40)
    assert info.exposure_ms == pytest.approx(16.399525, abs=1e-9)
    # 10 ms: 304.89 lines -> 305 lines = 400148.9 -> 400148 periods = 10.0037 ms.
    assert cam.set_exposure_ms(10.0) == pytest.approx(10.0037, abs=1e-9)
    cam.exposure_time = 655982
    assert cam.exposure_lines == 500
    # Twice the clock: half the milliseconds for the same lines.
    cam.clock_mhz = 80
    assert (cam.clock_mhz, cam.exposure_lines) == (80, 500)
    assert cam.exposure_ms == pytest.approx(16.399525 / 2, rel=1e-6)
    cam.set_min_frame_rate()
    assert cam.frame_time == cam.frame_time_limits[1] == 134148098  # 2047 x 65534
    assert cam.frame_rate == pytest.approx(cam.frame_rate_limits[0], rel=1e-9)
    assert cam.set_frame_rate(10.0) == pytest.approx(10.0, rel=0.01)
    assert cam.frame_rate == pytest.approx(10.0, rel=0.01)


def test_cameras_listed_and_frames_of_each_depth(virtcam):
    virtcam("4", "8")
    assert kepra.devices() == [
        kepra.DeviceInfo(BASE_INDEX, "KEPRA-A1 Mono", 1280, 1024, False),
        kepra.DeviceInfo(BASE_INDEX + 1, "KEPRA-A2 Color", 1600, 1200, True),
    ]
    with kepra.open(BASE_INDEX + 1) as cam:
        frame, info = cam.grab_info()
        assert frame.shape == (1200, 1600) and frame.dtype == np.uint16
        assert info.bit_depth == 10 and 1 < frame.max() < 1 << 10
        cam.frame_params = kepra.FrameParams(0, 0, 1600, 1200, 12, 2, 4)
        frame, info = cam.grab_info(8)
        assert frame.shape == (300, 800) and frame.dtype == np.uint8 and info.bit_depth == 8
        assert cam.grab(8).shape == (300, 800) and cam.grab().shape == (300, 800)


def test_out_is_filled_in_place_and_reused(cam):
    # Alternating arrays: each grab lands in the array it was given.
    arrays = [np.zeros((1024, 1280), np.uint16) for _ in range(3)]
    for target in arrays + arrays[:1]:
        assert cam.grab(out=target) is target and target.any()
        assert not any(other.any() for other in arrays if other is not target)
        target[:] = 0
    out8 = np.zeros((1024, 1280), np.uint8)
    assert cam.grab(8, out=out8) is out8 and out8.any()
    # The array grabbed into last, now read-only, is refused all the same.
    out8.flags.writeable = False
    with pytest.raises(ValueError, match="read-only"):
        cam.grab(8, out=out8)
    fresh = cam.grab()
    assert fresh.flags.owndata or fresh.base is not None and fresh.base.flags.owndata


@pytest.mark.parametrize(
    "out, error",
    [
        (np.zeros((1280, 1024), np.uint16), ValueError),
        (np.zeros((1024, 1280), np.uint8), TypeError),
        (np.zeros((1024, 1280), np.int16), TypeError),
        (np.zeros((1024, 2560), np.uint16)[:, ::2], ValueError),
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


def test_frame_record_counter_and_events(cam):
    cam.events = 0b0101
    _, first = cam.grab_info()
    assert first.events == bytes([0b0101])
    assert first.find_event(0b0100, 0b0100) == 0 and first.find_event(0b0010, 0b0010) is None
    _, later = cam.grab_info(after=first.frame_counter + 10)
    assert later.frame_counter == first.frame_counter + 11
    # Across the wrap of the 32-bit counter, which starts 256 frames before it.
    assert cam.grab_info(8, after=0xFFFFFFFF)[1].frame_counter == 0


def test_frame_size_follows_changes_made_anywhere(cam):
    with kepra.open(BASE_INDEX) as other:  # a second handle of this process
        assert other.grab(8).shape == (1024, 1280)
        cam.frame_params = kepra.FrameParams(bin_x=2, bin_y=2)
        assert other.grab(8).shape == (512, 640)
    # Another process changes them: the record of the next frame shows it.
    script = f"import kepra; kepra.open({BASE_INDEX}).frame_params = kepra.FrameParams(bin_x=4)"
    env = dict(os.environ, PYTHONPATH=str(Path(kepra.__file__).resolve().parents[1]))
    subprocess.run([sys.executable, "-c", script], check=True, env=env)
    with pytest.raises(RuntimeError, match="expected 640x512"):
        cam.grab_info()
    assert cam.grab().shape == (1024, 320)
    cam.frame_params = kepra.FrameParams(bin_y=2)
    subprocess.run([sys.executable, "-c", script], check=True, env=env)
    assert cam.geometry()[:2] == (320, 1024) and cam.grab().shape == (1024, 320)


def test_identity_and_versions(cam):
    assert cam.info == kepra.CameraInfo("KEPRA-A1 Mono", 1280, 1024, False)
    record = cam.ident_data
    assert len(record) == 78 and record[2] == ord("4")
    assert cam.info_ex == kepra.CameraInfoEx(record[2], record[0] | record[1] << 8, *record[3:6])
    changed = bytearray(record)
    changed[2], changed[40] = ord("7"), record[40] ^ 0xFF
    cam.ident_data = changed
    assert cam.ident_data == bytes(changed) and cam.info.model == "KEPRA-A2 Mono"
    assert cam.driver_version == kepra.DriverVersion(0, 1, 96, False, True)
    assert str(cam.firmware_version) == "1.0.1.6.0"
    assert all(v >= 0 for v in cam.usb_speed) and isinstance(cam.driver_log(), str)


def test_flash_in_the_user_area_and_the_whole_flash(cam):
    address, data = 0x10000 - 100, os.urandom(200)
    cam.write_flash(address, data)
    assert cam.read_flash(address, 200) == data
    # The user area is the flash from 0x160000 onwards.
    assert cam.read_flash(kepra.USER_AREA_BASE + address, 200, whole=True) == data
    cam.write_flash(kepra.USER_AREA_BASE + 0x20000, b"whole", whole=True)
    assert cam.read_flash(0x20000, 5) == b"whole"


def test_firmware_updates_with_and_without_progress(cam, tmp_path):
    image = cam.read_flash(0, 3 * kepra.SECTOR_SIZE, whole=True)  # the carried image's sectors
    path = tmp_path / "camera.img"
    path.write_bytes(image)
    # Broken firmware: after a reset the camera runs its boot loader.
    cam.update_firmware(b"\xa5" * 1000, verify=True)
    cam.reset()
    with pytest.raises(kepra.NotReadyError) as caught:
        cam.grab()
    assert caught.value.code == 21 and cam.firmware_version[:2] == (0, 0)
    progress = []
    cam.update_firmware(path, progress=lambda done, total: progress.append((done, total)))
    assert progress == [(1, 3), (2, 3), (3, 3)]
    assert cam.read_flash(0, len(image), whole=True) == image
    cam.reset()
    assert cam.grab().shape == (1024, 1280) and str(cam.firmware_version) == "1.0.1.6.0"
    progress.clear()
    for source in (None, str(path)):  # the carried image, and a file the library reads itself
        cam.write_flash(0, b"\0" * 16, whole=True)
        cam.update_firmware(source, progress=(lambda *p: progress.append(p)) if source is None else None)
        assert cam.read_flash(0, len(image), whole=True) == image
    assert progress == [(0, 1), (1, 1)]
