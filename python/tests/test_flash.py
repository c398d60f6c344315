"""Flash byte ranges and firmware updates, with and without progress."""

from __future__ import annotations

import os

import pytest

import kepra

IMAGE_SECTORS = 3  # the virtual camera boots from a carried image of three 64 KiB sectors


def test_user_area_write_keeps_the_bytes_around_it(cam):
    address = 0x10000 - 100  # straddles two sectors
    around = cam.read_flash(address - 50, 300)
    data = os.urandom(200)
    cam.write_flash(address, data)
    assert cam.read_flash(address, 200) == data
    after = cam.read_flash(address - 50, 300)
    assert after[:50] == around[:50] and after[250:] == around[250:]
    # The user area is the flash from 0x160000 onwards.
    assert cam.read_flash(kepra.USER_AREA_BASE + address, 200, whole=True) == data
    cam.write_flash(kepra.USER_AREA_BASE + 0x20000, b"whole", whole=True)
    assert cam.read_flash(0x20000, 5) == b"whole"


def test_flash_ranges_are_checked_before_sending(cam):
    for action in (
        lambda: cam.read_flash(kepra.USER_AREA_SIZE - 4, 5),
        lambda: cam.read_flash(0, 0),
        lambda: cam.write_flash(kepra.USER_AREA_SIZE, b"x"),
        lambda: cam.read_flash(kepra.FLASH_SIZE, 1, whole=True),
    ):
        with pytest.raises(ValueError):
            action()


def test_firmware_update_sector_by_sector_with_progress(cam, tmp_path):
    image = cam.read_flash(0, IMAGE_SECTORS * kepra.SECTOR_SIZE, whole=True)
    # Break the firmware: after a reset the camera runs its boot loader.
    cam.update_firmware(b"\xa5" * 1000, verify=True)
    cam.reset()
    with pytest.raises(kepra.NotReadyError) as caught:
        cam.grab()
    assert caught.value.code == 21
    assert cam.firmware_version[:2] == (0, 0)
    # The good image back, sector by sector, from a file.
    path = tmp_path / "camera.img"
    path.write_bytes(image)
    progress = []
    cam.update_firmware(path, progress=lambda done, total: progress.append((done, total)))
    assert progress == [(1, 3), (2, 3), (3, 3)]
    assert cam.read_flash(0, len(image), whole=True) == image
    cam.reset()
    assert cam.grab().shape == (1024, 1280)
    assert str(cam.firmware_version) == "1.0.1.6.0"


def test_firmware_update_in_one_call(cam, tmp_path):
    image = cam.read_flash(0, IMAGE_SECTORS * kepra.SECTOR_SIZE, whole=True)
    cam.write_flash(0, b"\0" * 16, whole=True)
    progress = []
    cam.update_firmware(progress=lambda *p: progress.append(p))  # the carried image
    assert progress == [(0, 1), (1, 1)]
    assert cam.read_flash(0, len(image), whole=True) == image
    path = tmp_path / "file.img"
    path.write_bytes(image)
    cam.write_flash(0, b"\0" * 16, whole=True)
    cam.update_firmware(str(path))  # the library reads the file itself
    assert cam.read_flash(0, len(image), whole=True) == image


def test_firmware_images_refused_before_writing(cam, tmp_path):
    before = cam.read_flash(0, 256, whole=True)
    too_big = bytes(kepra.FIRMWARE_REGION_SIZE + 1)
    with pytest.raises(ValueError, match="more than the 1441792"):
        cam.update_firmware(too_big, progress=lambda *p: None)
    with pytest.raises(ValueError, match="empty"):
        cam.update_firmware(b"")
    with pytest.raises(FileNotFoundError):
        cam.update_firmware(tmp_path / "missing.img")
    assert cam.read_flash(0, 256, whole=True) == before
