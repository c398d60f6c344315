// Replacing the camera firmware: the version gate for the carried image, reading a firmware
// file whole, and writing an image from flash address 0 under the device lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "flash/spi_flash.h"
#include "platform/win32.h"

namespace kepra::flash {

// Everything below the user area belongs to the firmware; an image larger than that would
// overwrite user data.
constexpr std::uint32_t kFirmwareRegionSize = kUserAreaBase;

// The carried image is written only to a camera whose firmware-version reply has these as
// its third and fourth values.
constexpr std::uint16_t kRequiredFirmwareThird = 1;
constexpr std::uint16_t kRequiredFirmwareFourth = 6;

constexpr bool FirmwareAcceptsCarriedImage(std::uint16_t third, std::uint16_t fourth) {
  return third == kRequiredFirmwareThird && fourth == kRequiredFirmwareFourth;
}

// Reads the whole file at `path` (binary, code-page path) into `content`. False with the last
// error set: 30 when it cannot be opened or read in full, 87 when it is larger than the
// firmware region (it is then not read), 8 when memory for it cannot be had.
bool ReadFirmwareFile(const char* path, std::vector<std::uint8_t>& content);

// Takes the device lock and writes `size` bytes from flash address 0 with Write (so a null
// `data` gives 487, as for an empty file). 87 for an image larger than the
// firmware region, before the lock is taken. False with the last error of whatever failed.
bool WriteFirmware(HANDLE h, const std::uint8_t* data, std::size_t size);

}  // namespace kepra::flash
