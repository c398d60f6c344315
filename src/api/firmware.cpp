// Firmware update: the image the library carries, or a file, written from flash address 0.
#include <vector>

#include "api/export.h"
#include "driver/request.h"
#include "firmware/firmware_image.h"
#include "flash/firmware_update.h"
#include "protocol/protocol.h"

using namespace kepra;

extern "C" {

uint32_t KEPRA_CALL kepra_UpdateFW(KEPRA_HANDLE H) noexcept try {
  std::uint16_t first, second, third, fourth;
  std::uint8_t fifth;
  if (!kepra_GetFWVersion(H, &first, &second, &third, &fourth, &fifth)) return 0;
  if (!flash::FirmwareAcceptsCarriedImage(third, fourth)) {
    return api::Fail(ERROR_PRODUCT_VERSION);
  }
  return flash::WriteFirmware(api::ToHandle(H), firmware::kImage, firmware::kImageSize) ? 1 : 0;
} catch (...) {
  return api::Caught();
}

uint32_t KEPRA_CALL kepra_UpdateFWFromFile(KEPRA_HANDLE H, const char* Path) noexcept try {
  if (!Path) return api::Fail(ERROR_INVALID_PARAMETER);
  std::vector<std::uint8_t> content;
  if (!flash::ReadFirmwareFile(Path, content)) return 0;
  // The handle is looked at only by the lock, after the file was read. Empty content has no
  // data pointer, which the flash write refuses with 487.
  return flash::WriteFirmware(api::ToHandle(H), content.empty() ? nullptr : content.data(),
                              content.size())
             ? 1
             : 0;
} catch (...) {
  return api::Caught();
}

uint32_t KEPRA_CALL kepra_PostTestFWError(KEPRA_HANDLE H) noexcept try {
  return driver::Request(api::ToHandle(H), protocol::IOCTL_POST_TEST_FW_ERROR, nullptr, 0, nullptr,
                         0)
             ? 1
             : 0;
} catch (...) {
  return api::Caught();
}

}  // extern "C"
