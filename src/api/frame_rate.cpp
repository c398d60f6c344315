// Frame time and frame rate.
#include "api/export.h"
#include "core/frame_timing.h"

using namespace kepra;

extern "C" {

uint32_t KEPRA_CALL kepra_GetFrameTimeMinMax(KEPRA_HANDLE H, uint32_t* FrameTimeMin,
                                             uint32_t* FrameTimeMax) noexcept try {
  HANDLE h = api::ToHandle(H);
  if (device::IsInvalid(h)) return api::Refuse("H is not valid");
  if (!FrameTimeMin) return api::Refuse("FrameTimeMin is NULL");
  if (!FrameTimeMax) return api::Refuse("FrameTimeMax is NULL");
  device::DeviceLock lock(h);
  if (!lock) return 0;
  return core::CxGetFrameTimeMinMax(h, FrameTimeMin, FrameTimeMax) ? 1 : 0;
} catch (...) {
  return api::Caught();
}

uint32_t KEPRA_CALL kepra_GetFrameTime(KEPRA_HANDLE H, uint32_t* Frametime) noexcept try {
  HANDLE h = api::ToHandle(H);
  if (device::IsInvalid(h)) return api::Refuse("H is not valid");
  if (!Frametime) return api::Refuse("Frametime is NULL");
  device::DeviceLock lock(h);
  if (!lock) return 0;
  return core::CxGetFrameTime(h, Frametime) ? 1 : 0;
} catch (...) {
  return api::Caught();
}

uint32_t KEPRA_CALL kepra_SetFrameTime(KEPRA_HANDLE H, uint32_t FrameTime) noexcept try {
  HANDLE h = api::ToHandle(H);
  if (device::IsInvalid(h)) return api::Refuse("H is not valid");
  device::DeviceLock lock(h);
  if (!lock) return 0;
  return core::CxSetFrameTime(h, FrameTime) ? 1 : 0;
} catch (...) {
  return api::Caught();
}

uint32_t KEPRA_CALL kepra_GetFrameRateMinMax(KEPRA_HANDLE H, double* FrameRateMin,
                                             double* FrameRateMax) noexcept try {
  HANDLE h = api::ToHandle(H);
  if (device::IsInvalid(h)) return api::Refuse("H is not valid");
  if (!FrameRateMin) return api::Refuse("FrameRateMin is NULL");
  if (!FrameRateMax) return api::Refuse("FrameRateMax is NULL");
  device::DeviceLock lock(h);
  if (!lock) return 0;
  return core::CxGetFrameRateMinMax(h, FrameRateMin, FrameRateMax) ? 1 : 0;
} catch (...) {
  return api::Caught();
}

uint32_t KEPRA_CALL kepra_GetFrameRate(KEPRA_HANDLE H, double* FrameRate) noexcept try {
  HANDLE h = api::ToHandle(H);
  if (device::IsInvalid(h)) return api::Refuse("H is not valid");
  if (!FrameRate) return api::Refuse("FrameRate is NULL");
  device::DeviceLock lock(h);
  if (!lock) return 0;
  return core::CxGetFrameRate(h, FrameRate) ? 1 : 0;
} catch (...) {
  return api::Caught();
}

uint32_t KEPRA_CALL kepra_SetFrameRate(KEPRA_HANDLE H, double FrameRate,
                                       double* NewFrameRate) noexcept try {
  HANDLE h = api::ToHandle(H);
  if (device::IsInvalid(h)) return api::Refuse("H is not valid");
  // NewFrameRate may be null: then nothing is read back.
  device::DeviceLock lock(h);
  if (!lock) return 0;
  return core::SetFrameRate(h, FrameRate, NewFrameRate) ? 1 : 0;
} catch (...) {
  return api::Caught();
}

uint32_t KEPRA_CALL kepra_SetMinFrameRate(KEPRA_HANDLE H) noexcept try {
  HANDLE h = api::ToHandle(H);
  if (device::IsInvalid(h)) return api::Refuse("H is not valid");
  device::DeviceLock lock(h);
  if (!lock) return 0;
  return core::SetFrameRateLimit(h, false) ? 1 : 0;
} catch (...) {
  return api::Caught();
}

uint32_t KEPRA_CALL kepra_SetMaxFrameRate(KEPRA_HANDLE H) noexcept try {
  HANDLE h = api::ToHandle(H);
  if (device::IsInvalid(h)) return api::Refuse("H is not valid");
  device::DeviceLock lock(h);
  if (!lock) return 0;
  return core::SetFrameRateLimit(h, true) ? 1 : 0;
} catch (...) {
  return api::Caught();
}

}  // extern "C"
