// Shared by the export families: the public declarations and the helpers every export uses.
#pragma once

#define KEPRA_BUILDING_LIBRARY 1
#include "device/device.h"
#include "kepra/kepra.h"
#include "platform/win32.h"

namespace kepra::api {

inline HANDLE ToHandle(KEPRA_HANDLE h) { return static_cast<HANDLE>(h); }

// Refuses a call: sets the last error and returns the failure flag.
inline std::uint32_t Fail(DWORD error) {
  SetLastError(error);
  return 0;
}

// Refuses a call of the sensor-side families: a debug line, last error 87, failure flag.
inline std::uint32_t Refuse(const char* line) {
  device::CxDebugPrint("%s", line);
  SetLastError(ERROR_INVALID_PARAMETER);
  return 0;
}

}  // namespace kepra::api
