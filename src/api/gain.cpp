// Analog, digital and colour gains as factors.
#include "core/gain.h"

#include "api/export.h"

using namespace kepra;

// Factors are never refused: out-of-range ones are clamped to the nearest code, and NaN,
// which compares false with every bound, takes the largest code.
extern "C" {

uint32_t KEPRA_CALL kepra_GetGain(KEPRA_HANDLE H, double* AGain, double* DGain) noexcept try {
  HANDLE h = api::ToHandle(H);
  if (device::IsInvalid(h)) return api::Refuse("H is not valid");
  if (!AGain) return api::Refuse("AGain is NULL");
  if (!DGain) return api::Refuse("DGain is NULL");
  device::DeviceLock lock(h);
  if (!lock) return 0;
  return core::GetGain(h, AGain, DGain) ? 1 : 0;
} catch (...) {
  return api::Caught();
}

uint32_t KEPRA_CALL kepra_SetGain(KEPRA_HANDLE H, double AGain, double DGain) noexcept try {
  HANDLE h = api::ToHandle(H);
  // No check of its own: the lock refuses the invalid handle with its own code.
  device::DeviceLock lock(h);
  if (!lock) return 0;
  return core::SetGain(h, AGain, DGain) ? 1 : 0;
} catch (...) {
  return api::Caught();
}

uint32_t KEPRA_CALL kepra_GetGainC(KEPRA_HANDLE H, double* GB, double* GR, double* B,
                                   double* R) noexcept try {
  HANDLE h = api::ToHandle(H);
  if (device::IsInvalid(h)) return api::Refuse("H is not valid");
  if (!GB) return api::Refuse("GB is NULL");
  if (!GR) return api::Refuse("GR is NULL");
  if (!B) return api::Refuse("B is NULL");
  if (!R) return api::Refuse("R is NULL");
  device::DeviceLock lock(h);
  if (!lock) return 0;
  return core::GetGainC(h, GB, GR, B, R) ? 1 : 0;
} catch (...) {
  return api::Caught();
}

uint32_t KEPRA_CALL kepra_SetGainC(KEPRA_HANDLE H, double GB, double GR, double B,
                                   double R) noexcept try {
  HANDLE h = api::ToHandle(H);
  if (device::IsInvalid(h)) return api::Refuse("H is not valid");
  device::DeviceLock lock(h);
  if (!lock) return 0;
  return core::SetGainC(h, GB, GR, B, R) ? 1 : 0;
} catch (...) {
  return api::Caught();
}

}  // extern "C"
