// The camera's bad-pixel list and correction switch: one request each, no lock. The library
// moves the entries as whole blocks and never looks inside them.
#include "api/export.h"
#include "driver/request.h"
#include "protocol/protocol.h"

using namespace kepra;

namespace {
constexpr std::uint32_t kEntrySize = 5;
}  // namespace

extern "C" {

uint32_t KEPRA_CALL kepra_GetFixBadPixels(KEPRA_HANDLE H, uint8_t* Enabled,
                                          uint8_t* HasList) noexcept try {
  HANDLE h = api::ToHandle(H);
  if (device::IsInvalid(h)) return api::Fail(ERROR_INVALID_HANDLE);
  std::uint8_t reply[2] = {};
  if (!driver::Request(h, protocol::IOCTL_FIX_BAD_PIXELS, nullptr, 0, reply, sizeof reply)) {
    device::CxDebugPrint("%s", "DeviceIoControl IOCTL_FIX_BAD_PIXELS failed\n");
    return 0;
  }
  if (Enabled) *Enabled = reply[0];
  if (HasList) *HasList = reply[1];
  return 1;
} catch (...) {
  return api::Caught();
}

uint32_t KEPRA_CALL kepra_SetFixBadPixels(KEPRA_HANDLE H, uint8_t Enable,
                                          uint8_t* Previous) noexcept try {
  HANDLE h = api::ToHandle(H);
  if (device::IsInvalid(h)) return api::Fail(ERROR_INVALID_HANDLE);
  std::uint8_t reply = 0;
  if (!driver::Request(h, protocol::IOCTL_FIX_BAD_PIXELS, &Enable, 1, &reply, 1)) {
    device::CxDebugPrint("%s", "DeviceIoControl IOCTL_FIXBADPIXELS failed\n");
    return 0;
  }
  if (Previous) *Previous = reply;
  return 1;
} catch (...) {
  return api::Caught();
}

uint32_t KEPRA_CALL kepra_GetMaxBadPixelCount(KEPRA_HANDLE, uint16_t* Count) noexcept try {
  // A constant: the handle is not looked at and a null pointer sets no last error.
  if (!Count) return 0;
  *Count = KEPRA_MAX_BAD_PIXELS;
  return 1;
} catch (...) {
  return api::Caught();
}

uint32_t KEPRA_CALL kepra_GetBadPixelCount(KEPRA_HANDLE H, uint16_t* Count) noexcept try {
  HANDLE h = api::ToHandle(H);
  if (device::IsInvalid(h)) return api::Fail(ERROR_INVALID_HANDLE);
  if (!driver::Request(h, protocol::IOCTL_GET_BAD_PIXELS_COUNT, nullptr, 0, Count, 2)) {
    device::CxDebugPrint("%s", "DeviceIoControl IOCTL_GET_BAD_PIXELS_COUNT failed\n");
    return 0;
  }
  return 1;
} catch (...) {
  return api::Caught();
}

uint32_t KEPRA_CALL kepra_GetBadPixelData(KEPRA_HANDLE H, kepra_BadPixel* Data, uint16_t Count,
                                          uint16_t* Delivered) noexcept try {
  std::uint32_t returned = 0;
  if (!driver::Request(api::ToHandle(H), protocol::IOCTL_GET_BAD_PIXELS_DATA, nullptr, 0, Data,
                       Count * kEntrySize, &returned)) {
    device::CxDebugPrint("%s", "DeviceIoControl IOCTL_GET_BAD_PIXELS_DATA failed\n");
    return 0;
  }
  // Whole entries only, as many as the driver actually wrote.
  if (Delivered) *Delivered = static_cast<std::uint16_t>(returned / kEntrySize);
  return 1;
} catch (...) {
  return api::Caught();
}

uint32_t KEPRA_CALL kepra_SetBadPixelData(KEPRA_HANDLE H, const kepra_BadPixel* Data,
                                          uint16_t Count, uint16_t* Reply) noexcept try {
  std::uint8_t reply[2] = {0, 0};
  if (!driver::Request(api::ToHandle(H), protocol::IOCTL_SET_BAD_PIXELS_DATA, Data,
                       Count * kEntrySize, reply, sizeof reply)) {
    return 0;
  }
  if (Reply) *Reply = protocol::GetU16(reply);
  return 1;
} catch (...) {
  return api::Caught();
}

}  // extern "C"
