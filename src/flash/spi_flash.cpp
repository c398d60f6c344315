#include "flash/spi_flash.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "driver/request.h"
#include "protocol/protocol.h"

namespace kepra::flash {
namespace {

bool ReadPage(HANDLE h, std::uint32_t page, std::uint8_t* out) {
  std::uint8_t number[4];
  protocol::PutU32(number, page);
  return driver::Request(h, protocol::IOCTL_SPI_READ_PAGE, number, sizeof number, out, kPageSize);
}

// 487 for a null pointer, 87 for a range outside the flash; 0 when both are acceptable.
DWORD CheckRequest(const void* bytes, std::uint32_t address, std::uint32_t length) {
  if (!bytes) return ERROR_INVALID_ADDRESS;
  if (!RangeFits(address, length, kFlashSize)) return ERROR_INVALID_PARAMETER;
  return 0;
}

}  // namespace

bool Read(HANDLE h, std::uint32_t address, std::uint8_t* out, std::uint32_t length) {
  if (const DWORD error = CheckRequest(out, address, length)) {
    SetLastError(error);
    return false;
  }
  std::uint8_t page_buffer[kPageSize];
  std::uint32_t page = address >> 8;
  std::uint32_t offset = address & 0xFF;
  std::uint32_t remaining = length;
  while (remaining > 0) {
    if (!ReadPage(h, page, page_buffer)) return false;
    const std::uint32_t count = std::min(remaining, kPageSize - offset);
    std::memcpy(out, page_buffer + offset, count);
    out += count;
    remaining -= count;
    offset = 0;
    ++page;
  }
  return true;
}

bool Write(HANDLE h, std::uint32_t address, const std::uint8_t* data, std::uint32_t length) {
  // A range past the end of the flash would send sector and page numbers the part does not
  // have; it is refused before anything is read or erased.
  if (const DWORD error = CheckRequest(data, address, length)) {
    SetLastError(error);
    return false;
  }
  // Each write owns its sector image, so writes to different cameras can run at the same time
  // in one process. The price is one 65 KiB allocation per call, small beside the 513
  // requests that every touched sector costs.
  std::unique_ptr<std::uint8_t[]> image(new (std::nothrow) std::uint8_t[kSectorImageSize]);
  if (!image) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return false;
  }
  std::uint32_t sector = address >> 16;
  std::uint32_t entry = (address >> 8) & 0xFF;
  std::uint32_t offset = address & 0xFF;
  std::uint32_t remaining = length;
  while (remaining > 0) {
    const std::uint32_t first_page = sector * kPagesPerSector;
    for (std::uint32_t i = 0; i < kPagesPerSector; ++i) {
      if (!ReadPage(h, first_page + i, &image[i * kEntrySize + 4])) return false;
    }
    std::uint8_t number[4];
    protocol::PutU32(number, sector);
    if (!driver::Request(h, protocol::IOCTL_SPI_ERASE_SECTOR, number, sizeof number, nullptr, 0)) {
      return false;
    }
    // Merge the caller's bytes that fall into this sector; the next sector starts at its
    // first page and byte.
    for (; remaining > 0 && entry < kPagesPerSector; ++entry) {
      const std::uint32_t count = std::min(remaining, kPageSize - offset);
      std::memcpy(&image[entry * kEntrySize + 4 + offset], data, count);
      data += count;
      remaining -= count;
      offset = 0;
    }
    entry = 0;
    for (std::uint32_t i = 0; i < kPagesPerSector; ++i) {
      std::uint8_t* request = &image[i * kEntrySize];
      protocol::PutU32(request, first_page + i);
      if (!driver::Request(h, protocol::IOCTL_SPI_WRITE_PAGE, request, kEntrySize, nullptr, 0)) {
        return false;
      }
    }
    ++sector;
  }
  return true;
}

}  // namespace kepra::flash
