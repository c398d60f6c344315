"""Settings round trips, with the values the header documents for limits and encodings."""

from __future__ import annotations

import pytest

import kepra

TICK = 15.999554533002907  # sensor-clock periods per line-length unit


def test_exposure_in_its_three_units(cam):
    assert cam.exposure_lines_limits == (2, 65534)
    cam.exposure_lines = 500
    assert cam.exposure_lines == 500
    line_length = cam.read_register(4) & 0x7FF
    assert cam.exposure_time == int(500 * line_length * TICK)
    assert cam.exposure_ms == pytest.approx(int(500 * line_length * TICK) / (cam.clock_mhz * 1000))
    taken = cam.set_exposure_ms(10.0)
    # The nearest whole line: within half a line of what was asked.
    line_ms = line_length * TICK / (cam.clock_mhz * 1000)
    assert abs(taken - 10.0) <= line_ms / 2 + 1e-9
    assert cam.exposure_ms == taken
    low, high = cam.exposure_ms_limits
    assert low < taken < high
    cam.exposure_time = 100000
    assert cam.exposure_lines == round(100000 / (line_length * TICK))
    # The sensor's exposure register is the one the lines go to.
    cam.write_register(14, 480)
    assert cam.exposure_lines == 480


def test_clock_scales_the_millisecond_figures(cam):
    cam.exposure_lines = 1000
    at_40 = cam.exposure_ms
    cam.clock_mhz = 80
    assert cam.clock_mhz == 80
    assert cam.exposure_lines == 1000
    assert cam.exposure_ms == pytest.approx(at_40 / 2, rel=1e-6)


def test_frame_time_and_rate(cam):
    low, high = cam.frame_time_limits
    assert high == 134148098  # 2047 x 65534, whatever the window
    cam.frame_time = high + 1000
    assert cam.frame_time == high
    cam.frame_time = 0
    assert cam.frame_time == low
    # rate = clock MHz x 62501.74015390621 / frame time
    assert cam.frame_rate == pytest.approx(cam.clock_mhz * 62501.74015390621 / low, rel=1e-9)
    cam.exposure_lines = 100
    taken = cam.set_frame_rate(10.0)
    assert taken == pytest.approx(10.0, rel=0.01)
    assert cam.frame_rate == pytest.approx(taken, rel=1e-9)
    slowest, fastest = cam.frame_rate_limits
    cam.set_max_frame_rate()
    assert cam.frame_rate == pytest.approx(fastest, rel=1e-9)
    cam.set_min_frame_rate()
    assert cam.frame_rate == pytest.approx(slowest, rel=1e-9)


def test_gains_take_the_nearest_code_and_clamp(cam):
    cam.gain = (2.0, 1.5)
    assert cam.gain == kepra.Gain(2.0, 1.5)
    cam.gain = (100.0, 100.0)
    assert cam.gain == kepra.Gain(8.0, 15.875)
    cam.gain = (0.1, 0.1)
    assert cam.gain == kepra.Gain(1.0, 1.0)
    cam.colour_gain = (0.5, 1.25, 2.0, 3.0)
    assert cam.colour_gain == kepra.ColourGain(0.5, 1.25, 2.0, 3.0)
    cam.colour_gain = (0.0, 10.0, 1.0, 1.0)
    assert cam.colour_gain == kepra.ColourGain(0.25, 3.96875, 1.0, 1.0)


def test_readout_mode_writes_the_sensor_tuning(cam):
    assert cam.read_register(127) == 0x0900  # the virtual sensor's variant
    cam.readout_mode = 2
    assert cam.readout_mode == 2
    assert [cam.read_register(r) for r in (65, 70, 109)] == [0xE915, 0x4222, 0x4C5C]
    # Mode 3 on this variant: register 11 takes it, the call reports failure without a code.
    with pytest.raises(kepra.KepraError) as caught:
        cam.readout_mode = 3
    assert caught.value.code == 0 and "not supported" in str(caught.value)
    assert cam.readout_mode == 3


def test_hdr_snapshot_strobe_events_stream_mode(cam):
    assert cam.hdr is False
    cam.hdr = True
    assert cam.hdr is True
    cam.snapshot = (250, True)
    assert cam.snapshot == kepra.Snapshot(250, True)
    cam.snapshot = (0, True)
    assert cam.snapshot == kepra.Snapshot(0, True)
    cam.snapshot = (0x7FFFFFFF, False)
    assert cam.snapshot == kepra.Snapshot(0x7FFFFFFF, False)
    register11, register7 = cam.read_register(11), cam.read_register(7)
    cam.strobe = (2, 0x12, 0x34, True)
    assert cam.strobe == kepra.Strobe(2, 0x12, 0x34, True)
    # Mode in register 11 bits 6-7, delays in register 5, polarity in register 7 bit 14.
    assert cam.read_register(11) == (register11 & ~0xC0) | (2 << 6)
    assert cam.read_register(5) == 0x3412
    assert cam.read_register(7) == register7 | 0x4000
    cam.events = 0b0101
    assert cam.events == 0b0101
    cam.set_events(0b0010, 0b0010)
    assert cam.events == 0b0111
    cam.set_events(0b1000, 0b0001)  # bit 0 cleared by the mask, bit 3 outside it cleared
    assert cam.events == 0b0110
    assert cam.stream_mode is kepra.StreamMode.FREE_RUNNING
    cam.stream_mode = kepra.StreamMode.SNAPSHOT
    assert cam.stream_mode is kepra.StreamMode.SNAPSHOT
    with pytest.raises(ValueError):
        cam.stream_mode = 7


def test_frame_params_and_bad_pixels(cam):
    params = kepra.FrameParams(16, 8, 640, 480, 12, 2, 4, mirror_x=True, flip_y=True)
    cam.frame_params = params
    assert cam.frame_params == params
    assert cam.grab().shape == (120, 320)
    assert cam.bad_pixel_fix is False
    cam.bad_pixel_fix = True
    assert cam.bad_pixel_fix is True
    pixels = [kepra.BadPixel(x, x // 2 + 3, x % 3) for x in range(0, 1000, 7)]
    cam.bad_pixels = pixels
    assert cam.bad_pixels == pixels
    cam.bad_pixels = []
    assert cam.bad_pixels == []
    with pytest.raises(kepra.InvalidParameterError):
        cam.bad_pixels = [(1280, 0, 0)]  # off the sensor


def test_identity_and_versions(cam):
    info = cam.info
    assert info == kepra.CameraInfo("KEPRA-A1 Mono", 1280, 1024, False)
    record = cam.ident_data
    assert len(record) == 78 and record[2] == ord("4")
    ex = cam.info_ex
    assert ex.model_code == record[2] and ex.ident_word == record[0] | record[1] << 8
    assert (ex.ident_byte3, ex.ident_byte4, ex.ident_byte5) == tuple(record[3:6])
    changed = bytearray(record)
    changed[2] = ord("7")
    changed[40] ^= 0xFF
    cam.ident_data = bytes(changed)
    assert cam.ident_data == bytes(changed)
    assert cam.info.model == "KEPRA-A2 Mono"
    with pytest.raises(ValueError, match="78 bytes"):
        cam.ident_data = b"\0" * 77
    version = cam.driver_version
    assert (version.major, version.minor, version.build, version.accepted) == (0, 1, 96, True)
    assert str(cam.firmware_version) == "1.0.1.6.0"
    speed, detail = cam.usb_speed
    assert speed >= 0 and detail >= 0
    assert isinstance(cam.driver_log(), str)
