// Exposure in lines, sensor-clock periods and milliseconds.
#include "core/exposure.h"

#include "api/export.h"
#include "core/exposure_math.h"

using namespace kepra;

// Out-pointers are checked before the lock in every function (also where a caller could
// hardly mean to pass null): a null pointer is refused with 87 and a "<name> is NULL" line.
extern "C" {

uint32_t KEPRA_CALL kepra_GetExposureMinMax(KEPRA_HANDLE H, uint32_t* ExpMin,
                                            uint32_t* ExpMax) noexcept try {
  HANDLE h = api::ToHandle(H);
  if (device::IsInvalid(h)) return api::Refuse("H is not valid");
  if (!ExpMin) return api::Refuse("ExpMin is NULL");
  if (!ExpMax) return api::Refuse("ExpMax is NULL");
  // Fixed limits: no device request, no lock.
  return core::CxGetExposureMinMax(h, ExpMin, ExpMax) ? 1 : 0;
} catch (...) {
  return api::Caught();
}

uint32_t KEPRA_CALL kepra_GetExposureFramerateMax(KEPRA_HANDLE H, uint32_t* Exposure) noexcept try {
  HANDLE h = api::ToHandle(H);
  if (device::IsInvalid(h)) return api::Refuse("H is not valid");
  if (!Exposure) return api::Refuse("Exposure is NULL");
  device::DeviceLock lock(h);
  if (!lock) return 0;
  return core::CxGetExposureFramerateMax(h, Exposure) ? 1 : 0;
} catch (...) {
  return api::Caught();
}

uint32_t KEPRA_CALL kepra_GetExposure(KEPRA_HANDLE H, uint32_t* Exposure) noexcept try {
  HANDLE h = api::ToHandle(H);
  if (device::IsInvalid(h)) return api::Refuse("H is not valid");
  if (!Exposure) return api::Refuse("Exposure is NULL");
  device::DeviceLock lock(h);
  if (!lock) return 0;
  return core::CxGetExposure(h, Exposure) ? 1 : 0;
} catch (...) {
  return api::Caught();
}

uint32_t KEPRA_CALL kepra_SetExposure(KEPRA_HANDLE H, uint32_t Exposure) noexcept try {
  HANDLE h = api::ToHandle(H);
  if (device::IsInvalid(h)) return api::Refuse("H is not valid");
  device::DeviceLock lock(h);
  if (!lock) return 0;
  return core::CxSetExposure(h, Exposure) ? 1 : 0;
} catch (...) {
  return api::Caught();
}

uint32_t KEPRA_CALL kepra_GetExposureMinMaxMs(KEPRA_HANDLE H, double* ExpMin,
                                              double* ExpMax) noexcept try {
  HANDLE h = api::ToHandle(H);
  if (device::IsInvalid(h)) return api::Refuse("H is not valid");
  device::DeviceLock lock(h);
  if (!lock) return 0;
  // Here the pointers are checked under the lock.
  if (!ExpMin) return api::Refuse("ExpMin is NULL");
  if (!ExpMax) return api::Refuse("ExpMax is NULL");
  return core::GetExposureMinMaxMs(h, ExpMin, ExpMax) ? 1 : 0;
} catch (...) {
  return api::Caught();
}

uint32_t KEPRA_CALL kepra_GetExposureFramerateMaxMs(KEPRA_HANDLE H, double* ExposureMs) noexcept
    try {
  HANDLE h = api::ToHandle(H);
  if (device::IsInvalid(h)) return api::Refuse("H is not valid");
  if (!ExposureMs) return api::Refuse("ExposureMs is NULL");
  device::DeviceLock lock(h);
  if (!lock) return 0;
  return core::GetExposureFramerateMaxMs(h, ExposureMs) ? 1 : 0;
} catch (...) {
  return api::Caught();
}

uint32_t KEPRA_CALL kepra_GetExposureMs(KEPRA_HANDLE H, double* ExposureMs) noexcept try {
  HANDLE h = api::ToHandle(H);
  if (device::IsInvalid(h)) return api::Refuse("H is not valid");
  if (!ExposureMs) return api::Refuse("ExposureMs is NULL");
  device::DeviceLock lock(h);
  if (!lock) return 0;
  return core::GetExposureMs(h, ExposureMs) ? 1 : 0;
} catch (...) {
  return api::Caught();
}

uint32_t KEPRA_CALL kepra_SetExposureMs(KEPRA_HANDLE H, double ExposureMs,
                                        double* NewExposureMs) noexcept try {
  HANDLE h = api::ToHandle(H);
  if (device::IsInvalid(h)) return api::Refuse("H is not valid");
  // What can be judged without the clock is judged before the lock; the 32-bit range of the
  // exposure time follows once the clock is known.
  if (!core::ExposureMsFinite(ExposureMs)) return api::Refuse("ExposureMs is not valid");
  device::DeviceLock lock(h);
  if (!lock) return 0;
  return core::SetExposureMs(h, ExposureMs, NewExposureMs) ? 1 : 0;
} catch (...) {
  return api::Caught();
}

uint32_t KEPRA_CALL kepra_GetExposureTimeMinMax(KEPRA_HANDLE H, uint32_t* ExpTimeMin,
                                                uint32_t* ExpTimeMax) noexcept try {
  HANDLE h = api::ToHandle(H);
  if (device::IsInvalid(h)) return api::Refuse("H is not valid");
  if (!ExpTimeMin) return api::Refuse("ExpTimeMin is NULL");
  if (!ExpTimeMax) return api::Refuse("ExpTimeMax is NULL");
  device::DeviceLock lock(h);
  if (!lock) return 0;
  return core::CxGetExposureTimeMinMax(h, ExpTimeMin, ExpTimeMax) ? 1 : 0;
} catch (...) {
  return api::Caught();
}

uint32_t KEPRA_CALL kepra_GetExposureTimeFramerateMax(KEPRA_HANDLE H,
                                                      uint32_t* ExposureTime) noexcept try {
  HANDLE h = api::ToHandle(H);
  if (device::IsInvalid(h)) return api::Refuse("H is not valid");
  if (!ExposureTime) return api::Refuse("ExposureTime is NULL");
  device::DeviceLock lock(h);
  if (!lock) return 0;
  return core::CxGetExposureTimeFramerateMax(h, ExposureTime) ? 1 : 0;
} catch (...) {
  return api::Caught();
}

uint32_t KEPRA_CALL kepra_GetExposureTime(KEPRA_HANDLE H, uint32_t* ExposureTime) noexcept try {
  HANDLE h = api::ToHandle(H);
  if (device::IsInvalid(h)) return api::Refuse("H is not valid");
  if (!ExposureTime) return api::Refuse("ExposureTime is NULL");
  device::DeviceLock lock(h);
  if (!lock) return 0;
  return core::CxGetExposureTime(h, ExposureTime) ? 1 : 0;
} catch (...) {
  return api::Caught();
}

uint32_t KEPRA_CALL kepra_SetExposureTime(KEPRA_HANDLE H, uint32_t ExposureTime) noexcept try {
  HANDLE h = api::ToHandle(H);
  if (device::IsInvalid(h)) return api::Refuse("H is not valid");
  device::DeviceLock lock(h);
  if (!lock) return 0;
  return core::CxSetExposureTime(h, ExposureTime) ? 1 : 0;
} catch (...) {
  return api::Caught();
}

double KEPRA_CALL kepra_GetFrameExposureMs(const kepra_FrameInfo* FrameInfo) noexcept {
  // No device: the record carries clock, exposure and line length of its frame.
  return core::FrameExposureMs(FrameInfo);
}

}  // extern "C"
