// Opening and closing cameras; the last-error accessors.
#include "api/export.h"
#include "driver/transport.h"

using namespace kepra;

extern "C" {

uint8_t Conv16to8_inst[65536];

KEPRA_HANDLE KEPRA_CALL kepra_OpenDevice(uint32_t DeviceIndex) noexcept try {
  if (DeviceIndex >= device::kMaxDevices) return INVALID_HANDLE_VALUE;
  char path[device::kDevicePathSize];
  if (!device::CxGetDevicePath(device::InterfaceClass(DeviceIndex), path)) {
    return INVALID_HANDLE_VALUE;
  }
  const driver::Transport& transport = driver::Current();
  HANDLE h = transport.open(path);
  if (h == INVALID_HANDLE_VALUE) return h;
  // The reference is taken under the caller's index; the close drops it under the index the
  // driver reports, which is the same because the driver answers with the interface's index.
  if (!device::CxOpenDeviceMutex(DeviceIndex)) {
    const DWORD error = GetLastError();
    transport.close(h);
    SetLastError(error);
    return INVALID_HANDLE_VALUE;
  }
  return h;
} catch (...) {
  return api::Caught<KEPRA_HANDLE>(INVALID_HANDLE_VALUE);
}

uint32_t KEPRA_CALL kepra_CloseDevice(KEPRA_HANDLE H) noexcept try {
  HANDLE h = api::ToHandle(H);
  if (device::IsInvalid(h)) return api::Fail(ERROR_INVALID_HANDLE);
  device::CxCloseDeviceMutex(h);
  driver::Current().close(h);
  return 1;
} catch (...) {
  return api::Caught();
}

uint32_t KEPRA_CALL kepra_GetLastError(void) noexcept { return GetLastError(); }

void KEPRA_CALL kepra_SetLastError(uint32_t Error) noexcept { SetLastError(Error); }

}  // extern "C"
