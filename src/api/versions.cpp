// Driver and firmware versions, USB speed, driver log and device reset: one request each, no
// lock, no debug line.
#include "api/export.h"
#include "core/versions_math.h"
#include "driver/request.h"
#include "protocol/protocol.h"

using namespace kepra;

extern "C" {

uint32_t KEPRA_CALL kepra_GetDriverVer(KEPRA_HANDLE H, uint8_t* Major, uint8_t* Minor,
                                       uint16_t* Build, uint32_t* Sign) noexcept try {
  HANDLE h = api::ToHandle(H);
  if (device::IsInvalid(h)) return api::Fail(ERROR_INVALID_HANDLE);
  if (!Major || !Minor || !Build) return api::Fail(ERROR_INVALID_ADDRESS);
  std::uint8_t reply[4] = {};
  const bool ok = driver::Request(h, protocol::IOCTL_DRIVER_VERSION, nullptr, 0, reply, 4);
  const core::DriverVersion version = core::DecodeDriverVersion(protocol::GetU32(reply));
  if (Sign) *Sign = version.sign;  // not checked, but a null one is not written through
  *Major = version.major;
  *Minor = version.minor;
  *Build = version.build;
  // A refused request leaves its own reason, which says more than a version mismatch would
  // about a version that was never read.
  if (!ok) return 0;
  if (!core::IsRequiredDriver(version)) return api::Fail(ERROR_PRODUCT_VERSION);
  return 1;
} catch (...) {
  return api::Caught();
}

uint32_t KEPRA_CALL kepra_GetUsbSpeed(KEPRA_HANDLE H, uint32_t* Speed,
                                      uint32_t* SpeedDetail) noexcept try {
  HANDLE h = api::ToHandle(H);
  if (device::IsInvalid(h)) return api::Fail(ERROR_INVALID_HANDLE);
  if (!Speed) return api::Fail(ERROR_INVALID_ADDRESS);
  // The driver answers the length offered: the speed alone, or the speed and its detail.
  std::uint8_t reply[8];
  const std::uint32_t size = SpeedDetail ? 8 : 4;
  if (!driver::Request(h, protocol::IOCTL_USB_SPEED, nullptr, 0, reply, size)) return 0;
  *Speed = protocol::GetU32(reply);
  if (SpeedDetail) *SpeedDetail = protocol::GetU32(reply + 4);
  return 1;
} catch (...) {
  return api::Caught();
}

uint32_t KEPRA_CALL kepra_DeviceReset(KEPRA_HANDLE H) noexcept try {
  HANDLE h = api::ToHandle(H);
  if (device::IsInvalid(h)) return api::Fail(ERROR_INVALID_HANDLE);
  return driver::Request(h, protocol::IOCTL_DEVICE_RESET, nullptr, 0, nullptr, 0) ? 1 : 0;
} catch (...) {
  return api::Caught();
}

uint32_t KEPRA_CALL kepra_GetDrvLogMsg(KEPRA_HANDLE H, char* Buffer, uint32_t Length,
                                       uint32_t* BytesReturned) noexcept try {
  // The length is judged before the handle: a short buffer is refused whatever the camera.
  if (Length < protocol::kDriverLogMinimum) return api::Fail(ERROR_INSUFFICIENT_BUFFER);
  HANDLE h = api::ToHandle(H);
  if (device::IsInvalid(h)) return api::Fail(ERROR_INVALID_HANDLE);
  return driver::Request(h, protocol::IOCTL_DRV_LOG_MSG, nullptr, 0, Buffer, Length, BytesReturned)
             ? 1
             : 0;
} catch (...) {
  return api::Caught();
}

uint32_t KEPRA_CALL kepra_GetFWVersion(KEPRA_HANDLE H, uint16_t* Ver1, uint16_t* Ver2,
                                       uint16_t* Ver3, uint16_t* Ver4, uint8_t* Ver5) noexcept try {
  HANDLE h = api::ToHandle(H);
  if (device::IsInvalid(h)) return api::Fail(ERROR_INVALID_HANDLE);
  if (!Ver1 || !Ver2 || !Ver5) return api::Fail(ERROR_INVALID_ADDRESS);
  std::uint8_t reply[core::kFirmwareVersionReplySize] = {};
  const bool ok = driver::Request(h, protocol::IOCTL_FW_VERSION, nullptr, 0, reply, sizeof reply);
  *Ver1 = protocol::GetU16(reply);
  *Ver2 = protocol::GetU16(reply + 2);
  if (Ver3) *Ver3 = protocol::GetU16(reply + 4);
  if (Ver4) *Ver4 = protocol::GetU16(reply + 6);
  *Ver5 = reply[8];
  return ok ? 1 : 0;
} catch (...) {
  return api::Caught();
}

}  // extern "C"
