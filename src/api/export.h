// Shared by the export families: the public declarations and the helpers every export uses.
#pragma once

#define KEPRA_BUILDING_LIBRARY 1
#include <new>

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

// The answer of an export to an exception from inside it, from the handler of its
// function-try-block (the export's locals, its device lock among them, are gone by then):
// its failure value, with last error 8 for a failed allocation (the only exception the
// library raises; anything else counts as a general failure, 31). Nothing unwinds into the
// caller, who may be C.
template <class Result = std::uint32_t>
Result Caught(Result failure = Result{}) noexcept {
  DWORD error = ERROR_GEN_FAILURE;
  try {
    throw;
  } catch (const std::bad_alloc&) {
    error = ERROR_NOT_ENOUGH_MEMORY;
  } catch (...) {
  }
  SetLastError(error);
  return failure;
}

}  // namespace kepra::api
