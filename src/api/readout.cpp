// Readout mode and HDR.
#include "core/readout.h"

#include "api/export.h"
#include "driver/request.h"
#include "protocol/protocol.h"

using namespace kepra;

extern "C" {

uint32_t KEPRA_CALL kepra_GetReadoutMode(KEPRA_HANDLE H, uint32_t* Mode) noexcept try {
  HANDLE h = api::ToHandle(H);
  if (device::IsInvalid(h)) return api::Refuse("H is not valid");
  if (!Mode) return api::Refuse("Mode is NULL");
  device::DeviceLock lock(h);
  if (!lock) return 0;
  return core::CxGetReadoutMode(h, Mode) ? 1 : 0;
} catch (...) {
  return api::Caught();
}

uint32_t KEPRA_CALL kepra_SetReadoutMode(KEPRA_HANDLE H, uint32_t Mode) noexcept try {
  HANDLE h = api::ToHandle(H);
  if (device::IsInvalid(h)) return api::Refuse("H is not valid");
  device::DeviceLock lock(h);
  if (!lock) return 0;
  return core::CxSetReadoutMode(h, Mode) ? 1 : 0;
} catch (...) {
  return api::Caught();
}

uint32_t KEPRA_CALL kepra_GetHDR(KEPRA_HANDLE H, uint8_t* pHDR) noexcept try {
  HANDLE h = api::ToHandle(H);
  if (device::IsInvalid(h)) return api::Refuse("H is not valid");
  if (!pHDR) return api::Refuse("pHDR is NULL");
  device::DeviceLock lock(h);
  if (!lock) return 0;
  return driver::Request(h, protocol::IOCTL_HDR, nullptr, 0, pHDR, 1) ? 1 : 0;
} catch (...) {
  return api::Caught();
}

uint32_t KEPRA_CALL kepra_SetHDR(KEPRA_HANDLE H, uint8_t HDR) noexcept try {
  HANDLE h = api::ToHandle(H);
  if (device::IsInvalid(h)) return api::Refuse("H is not valid");
  device::DeviceLock lock(h);
  if (!lock) return 0;
  const std::uint8_t value = HDR ? 1 : 0;
  return driver::Request(h, protocol::IOCTL_HDR, &value, 1, nullptr, 0) ? 1 : 0;
} catch (...) {
  return api::Caught();
}

}  // extern "C"
