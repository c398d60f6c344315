// The camera's SPI flash as byte ranges: over the whole flash without a lock (Cx…), and over
// the user area under the device lock (kepra_…).
#include "api/export.h"
#include "flash/spi_flash.h"

using namespace kepra;

namespace {

// Sums are taken modulo 2^32, as the address arithmetic of the flash requests is.
bool EndsPast(std::uint32_t address, std::uint32_t length, std::uint32_t limit) {
  return static_cast<std::uint32_t>(address + length) > limit;
}

// Checks shared by the user-area exports; 0 when the range is acceptable.
DWORD CheckUserRange(std::uint32_t address, std::uint32_t length) {
  if (length == 0 || length > flash::kUserAreaSize) return ERROR_INVALID_PARAMETER;
  if (address > flash::kUserAreaSize) return ERROR_INVALID_PARAMETER;
  if (EndsPast(address, length, flash::kUserAreaSize)) return ERROR_INVALID_PARAMETER;
  return 0;
}

}  // namespace

extern "C" {

uint32_t KEPRA_CALL CxReadSPIFlash(KEPRA_HANDLE H, uint32_t Address, void* Buffer,
                                   uint32_t Length) noexcept try {
  HANDLE h = api::ToHandle(H);
  if (device::IsInvalid(h)) return api::Fail(ERROR_INVALID_HANDLE);
  if (!Buffer) return api::Fail(ERROR_INVALID_ADDRESS);
  if (Length == 0 || Length > flash::kFlashSize) return api::Fail(ERROR_INVALID_PARAMETER);
  if (EndsPast(Address, Length, flash::kFlashSize)) return api::Fail(ERROR_INVALID_PARAMETER);
  return flash::ReadRange(h, Address, static_cast<std::uint8_t*>(Buffer), Length) ? 1 : 0;
} catch (...) {
  return api::Caught();
}

uint32_t KEPRA_CALL CxWriteSPIFlash(KEPRA_HANDLE H, uint32_t Address, const void* Data,
                                    uint32_t Length) noexcept try {
  HANDLE h = api::ToHandle(H);
  if (device::IsInvalid(h)) return api::Fail(ERROR_INVALID_HANDLE);
  if (!Data) return api::Fail(ERROR_INVALID_ADDRESS);
  if (Length == 0) return api::Fail(ERROR_INVALID_PARAMETER);
  // A range past the end of the flash would send sector and page numbers the part does not
  // have; it is refused before anything is read or erased.
  if (Length > flash::kFlashSize || Address > flash::kFlashSize - Length) {
    return api::Fail(ERROR_INVALID_PARAMETER);
  }
  return flash::WriteRange(h, Address, static_cast<const std::uint8_t*>(Data), Length) ? 1 : 0;
} catch (...) {
  return api::Caught();
}

uint32_t KEPRA_CALL kepra_ReadFlash(KEPRA_HANDLE H, uint32_t Address, void* Buffer,
                                    uint32_t Length) noexcept try {
  HANDLE h = api::ToHandle(H);
  if (device::IsInvalid(h)) return api::Fail(ERROR_INVALID_HANDLE);
  if (!Buffer) return api::Fail(ERROR_INVALID_ADDRESS);
  if (const DWORD error = CheckUserRange(Address, Length)) return api::Fail(error);
  device::DeviceLock lock(h);
  if (!lock) return 0;
  return CxReadSPIFlash(H, Address + flash::kUserAreaBase, Buffer, Length);
} catch (...) {
  return api::Caught();
}

uint32_t KEPRA_CALL kepra_WriteFlash(KEPRA_HANDLE H, uint32_t Address, const void* Data,
                                     uint32_t Length) noexcept try {
  HANDLE h = api::ToHandle(H);
  if (device::IsInvalid(h)) return api::Fail(ERROR_INVALID_HANDLE);
  if (!Data) return api::Fail(ERROR_INVALID_ADDRESS);
  if (const DWORD error = CheckUserRange(Address, Length)) return api::Fail(error);
  device::DeviceLock lock(h);
  if (!lock) return 0;
  return CxWriteSPIFlash(H, Address + flash::kUserAreaBase, Data, Length);
} catch (...) {
  return api::Caught();
}

}  // extern "C"
