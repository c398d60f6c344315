// Byte ranges of the camera's SPI flash over the driver's three flash requests: read a
// 256-byte page, program a 256-byte page, erase a 64 KiB sector. The pointer and the range
// are checked here, for every caller; the handle and the lock are the callers'.
#pragma once

#include <cstdint>

#include "platform/win32.h"

namespace kepra::flash {

// Geometry of the 2 MiB part; fixed, never asked of the device.
constexpr std::uint32_t kFlashSize = 0x200000;
constexpr std::uint32_t kPageSize = 256;
constexpr std::uint32_t kSectorSize = 0x10000;
constexpr std::uint32_t kPagesPerSector = kSectorSize / kPageSize;
// A sector-image entry is the page-program request: page number (4 bytes, LE), 256 data bytes.
constexpr std::uint32_t kEntrySize = 4 + kPageSize;
constexpr std::uint32_t kSectorImageSize = kPagesPerSector * kEntrySize;  // 66,560

// The user area: the top 640 KiB, sectors 22 to 31; user address u is flash address
// u + kUserAreaBase.
constexpr std::uint32_t kUserAreaBase = 0x160000;
constexpr std::uint32_t kUserAreaSize = 0xA0000;

// The one range check of flash and user area: a non-empty [address, address + length) that
// ends within `size`. No sum is formed, so no range wraps past 2^32 into an accepted one.
constexpr bool RangeFits(std::uint32_t address, std::uint32_t length, std::uint32_t size) {
  return length != 0 && length <= size && address <= size - length;
}

// Reads `length` bytes from flash `address` into `out`, one page request per page touched.
// Refuses a null `out` (487) and a range that is empty or runs past the flash (87) before
// any request; otherwise false with the failed request's last error.
bool Read(HANDLE h, std::uint32_t address, std::uint8_t* out, std::uint32_t length);

// Writes `length` bytes at flash `address`: each sector the range touches is read whole,
// erased, merged with the caller's bytes and programmed whole, so bytes outside the range
// keep their content. Refuses as Read does before anything is read or erased. Stops at the
// first refused request (last error: the request's); sectors before it stay written, the one
// it hit may be left erased or partly programmed. 8 (not enough memory) when the sector
// image cannot be allocated.
bool Write(HANDLE h, std::uint32_t address, const std::uint8_t* data, std::uint32_t length);

}  // namespace kepra::flash
