// The virtual camera's SPI flash as the driver offers it: page reads, page programs and
// sector erases, kept in a file of the state directory when there is one.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <system_error>

#include "camera.h"
#include "camera_io.h"

namespace vcam {
namespace {

using namespace reply;
namespace fs = std::filesystem;

}  // namespace

extern const unsigned char kShippedImage[];
extern const std::size_t kShippedImageSize;

void Camera::InitFlash() {
  flash_.SetTiming(config_.nor_timing);
  if (!config_.state_dir.empty()) {
    std::error_code ec;
    fs::create_directories(config_.state_dir, ec);
    const fs::path file = fs::path(config_.state_dir) / "flash.bin";
    if (!flash_.Attach(file)) {
      throw std::runtime_error(file.string() + ": cannot be used as the flash (2 MiB file)");
    }
  }
  // A camera leaves the factory with its firmware in flash; a kept flash stays as it was.
  const std::vector<std::uint8_t> content = flash_.Snapshot();
  if (std::all_of(content.begin(), content.end(),
                  [](std::uint8_t b) { return b == NorFlash::kErasedByte; })) {
    flash_.Poke(0, std::span<const std::uint8_t>(kShippedImage, kShippedImageSize));
  }
}

Camera::Result Camera::ServeReadPage(std::span<const std::uint8_t> in,
                                     std::span<std::uint8_t> out) {
  if (in.size() != 4) return Error(kErrorInvalidParameter);
  if (out.size() < NorFlash::kPageSize) return Error(kErrorInsufficientBuffer);
  if (out.size() != NorFlash::kPageSize) return Error(kErrorInvalidParameter);
  const std::uint32_t page = GetU32(in.data());
  if (page >= NorFlash::kPageCount) return Error(kErrorInvalidParameter);
  if (!flash_.ReadPage(page, out.data())) return Error(kErrorInvalidParameter);
  return Ok(NorFlash::kPageSize);
}

Camera::Result Camera::ServeWritePage(std::span<const std::uint8_t> in,
                                      std::span<std::uint8_t> out) {
  if (in.size() != 4 + NorFlash::kPageSize || !out.empty()) return Error(kErrorInvalidParameter);
  const std::uint32_t page = GetU32(in.data());
  if (page >= NorFlash::kPageCount) return Error(kErrorInvalidParameter);
  if (!flash_.ProgramPage(page, in.data() + 4)) return Error(kErrorIoDevice);
  return Ok();
}

Camera::Result Camera::ServeEraseSector(std::span<const std::uint8_t> in,
                                        std::span<std::uint8_t> out) {
  if (in.size() != 4 || !out.empty()) return Error(kErrorInvalidParameter);
  const std::uint32_t sector = GetU32(in.data());
  if (sector >= NorFlash::kSectorCount) return Error(kErrorInvalidParameter);
  if (!flash_.EraseSector(sector)) return Error(kErrorIoDevice);
  char line[48];
  std::snprintf(line, sizeof line, "flash sector %u erased", sector);
  DriverLogLocked(line);
  return Ok();
}

Camera::Result Camera::ServePostTestFwError(std::span<const std::uint8_t> in,
                                            std::span<std::uint8_t> out) {
  if (!in.empty() || !out.empty()) return Error(kErrorInvalidParameter);
  DriverLogLocked("firmware error test posted");
  return Ok();
}

}  // namespace vcam
