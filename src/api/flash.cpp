// The camera's SPI flash as byte ranges: over the whole flash without a lock (Cx…), and over
// the user area under the device lock (kepra_…).
#include "api/export.h"
#include "flash/spi_flash.h"

using namespace kepra;

namespace {

// Checks shared by the user-area exports, in their order; 0 when the call may go on.
DWORD CheckUserRequest(const void* bytes, std::uint32_t address, std::uint32_t length) {
  if (!bytes) return ERROR_INVALID_ADDRESS;
  if (!flash::RangeFits(address, length, flash::kUserAreaSize)) return ERROR_INVALID_PARAMETER;
  return 0;
}

}  // namespace

extern "C" {

uint32_t KEPRA_CALL CxReadSPIFlash(KEPRA_HANDLE H, uint32_t Address, void* Buffer,
                                   uint32_t Length) noexcept try {
  HANDLE h = api::ToHandle(H);
  if (device::IsInvalid(h)) return api::Fail(ERROR_INVALID_HANDLE);
  return flash::Read(h, Address, static_cast<std::uint8_t*>(Buffer), Length) ? 1 : 0;
} catch (...) {
  return api::Caught();
}

uint32_t KEPRA_CALL CxWriteSPIFlash(KEPRA_HANDLE H, uint32_t Address, const void* Data,
                                    uint32_t Length) noexcept try {
  HANDLE h = api::ToHandle(H);
  if (device::IsInvalid(h)) return api::Fail(ERROR_INVALID_HANDLE);
  return flash::Write(h, Address, static_cast<const std::uint8_t*>(Data), Length) ? 1 : 0;
} catch (...) {
  return api::Caught();
}

uint32_t KEPRA_CALL kepra_ReadFlash(KEPRA_HANDLE H, uint32_t Address, void* Buffer,
                                    uint32_t Length) noexcept try {
  HANDLE h = api::ToHandle(H);
  if (device::IsInvalid(h)) return api::Fail(ERROR_INVALID_HANDLE);
  if (const DWORD error = CheckUserRequest(Buffer, Address, Length)) return api::Fail(error);
  device::DeviceLock lock(h);
  if (!lock) return 0;
  return flash::Read(h, Address + flash::kUserAreaBase, static_cast<std::uint8_t*>(Buffer), Length)
             ? 1
             : 0;
} catch (...) {
  return api::Caught();
}

uint32_t KEPRA_CALL kepra_WriteFlash(KEPRA_HANDLE H, uint32_t Address, const void* Data,
                                     uint32_t Length) noexcept try {
  HANDLE h = api::ToHandle(H);
  if (device::IsInvalid(h)) return api::Fail(ERROR_INVALID_HANDLE);
  if (const DWORD error = CheckUserRequest(Data, Address, Length)) return api::Fail(error);
  device::DeviceLock lock(h);
  if (!lock) return 0;
  return flash::Write(h, Address + flash::kUserAreaBase, static_cast<const std::uint8_t*>(Data),
                      Length)
             ? 1
             : 0;
} catch (...) {
  return api::Caught();
}

}  // extern "C"
