#include "flash/spi_flash.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "driver/ioctl.h"
#include "driver/request.h"

namespace kepra::flash {
namespace {

bool ReadPage(HANDLE h, std::uint32_t page, std::uint8_t* out) {
  std::uint8_t number[4];
  driver::PutU32(number, page);
  return driver::Request(h, driver::IOCTL_SPI_READ_PAGE, number, sizeof number, out, kPageSize);
}

}  // namespace

bool ReadRange(HANDLE h, std::uint32_t address, std::uint8_t* out, std::uint32_t length) {
  std::uint8_t page_buffer[kPageSize];
  std::uint32_t page = address >> 8;
  std::uint32_t offset = address & 0xFF;
  std::uint32_t remaining = length;
  while (remaining > 0) {
    if (page > kPageLimit) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return false;
    }
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

bool WriteRange(HANDLE h, std::uint32_t address, const std::uint8_t* data, std::uint32_t length) {
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
    driver::PutU32(number, sector);
    if (!driver::Request(h, driver::IOCTL_SPI_ERASE_SECTOR, number, sizeof number, nullptr, 0)) {
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
      driver::PutU32(request, first_page + i);
      if (!driver::Request(h, driver::IOCTL_SPI_WRITE_PAGE, request, kEntrySize, nullptr, 0)) {
        return false;
      }
    }
    ++sector;
  }
  return true;
}

}  // namespace kepra::flash
