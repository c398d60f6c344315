// Byte ranges of the camera's SPI flash over the driver's three flash requests: read a
// 256-byte page, program a 256-byte page, erase a 64 KiB sector. No checks of the handle or
// the range here and no lock: the exports do both.
#pragma once

#include <cstdint>

#include "platform/win32.h"

namespace kepra::flash {

// Geometry of the 2 MiB part; fixed, never asked of the device.
constexpr std::uint32_t kFlashSize = 0x200000;
constexpr std::uint32_t kPageSize = 256;
constexpr std::uint32_t kSectorSize = 0x10000;
constexpr std::uint32_t kPagesPerSector = kSectorSize / kPageSize;
// Reads refuse page numbers above this; after the range checks only a range whose end
// wrapped past 2^32 gets there.
constexpr std::uint32_t kPageLimit = 8192;
// A sector-image entry is the page-program request: page number (4 bytes, LE), 256 data bytes.
constexpr std::uint32_t kEntrySize = 4 + kPageSize;
constexpr std::uint32_t kSectorImageSize = kPagesPerSector * kEntrySize;  // 66,560

// The user area: the top 640 KiB, sectors 22 to 31; user address u is flash address
// u + kUserAreaBase.
constexpr std::uint32_t kUserAreaBase = 0x160000;
constexpr std::uint32_t kUserAreaSize = 0xA0000;

// Reads `length` (> 0) bytes from flash `address` into `out`, one page request per page
// touched. False with the request's last error, or 87 for a page number above kPageLimit.
bool ReadRange(HANDLE h, std::uint32_t address, std::uint8_t* out, std::uint32_t length);

// Writes `length` (> 0) bytes at flash `address`: each sector the range touches is read
// whole, erased, merged with the caller's bytes and programmed whole, so bytes outside the
// range keep their content. Stops at the first refused request (last error: the request's);
// sectors before it stay written, the one it hit may be left erased or partly programmed.
// 8 (not enough memory) when the sector image cannot be allocated.
bool WriteRange(HANDLE h, std::uint32_t address, const std::uint8_t* data, std::uint32_t length);

}  // namespace kepra::flash
