// Snapshot parameters, strobe parameters and the events state; the event search over a frame
// record.
#include "api/export.h"
#include "core/strobe.h"

using namespace kepra;

extern "C" {

uint32_t KEPRA_CALL kepra_GetSnapshotParams(KEPRA_HANDLE H, uint32_t* TimeoutMs,
                                            uint8_t* Inverted) noexcept try {
  HANDLE h = api::ToHandle(H);
  if (device::IsInvalid(h)) return api::Refuse("H is not valid");
  if (!TimeoutMs) return api::Refuse("TimeoutMs is NULL");
  if (!Inverted) return api::Refuse("Inverted is NULL");
  device::DeviceLock lock(h);
  if (!lock) return 0;
  return core::CxGetSnapshotParams(h, TimeoutMs, Inverted) ? 1 : 0;
} catch (...) {
  return api::Caught();
}

uint32_t KEPRA_CALL kepra_SetSnapshotParams(KEPRA_HANDLE H, uint32_t TimeoutMs,
                                            uint8_t Inverted) noexcept try {
  HANDLE h = api::ToHandle(H);
  if (device::IsInvalid(h)) return api::Refuse("H is not valid");
  device::DeviceLock lock(h);
  if (!lock) return 0;
  return core::CxSetSnapshotParams(h, TimeoutMs, Inverted != 0) ? 1 : 0;
} catch (...) {
  return api::Caught();
}

uint32_t KEPRA_CALL kepra_GetStrobeParams(KEPRA_HANDLE H, uint32_t* StrobeMode,
                                          uint8_t* StrobeOffDelay, uint8_t* StrobeOnDelay,
                                          uint8_t* Inverted) noexcept try {
  HANDLE h = api::ToHandle(H);
  if (device::IsInvalid(h)) return api::Refuse("H is not valid");
  if (!StrobeMode) return api::Refuse("StrobeMode is NULL");
  if (!StrobeOffDelay) return api::Refuse("StrobeOffDelay is NULL");
  if (!StrobeOnDelay) return api::Refuse("StrobeOnDelay is NULL");
  if (!Inverted) return api::Refuse("Inverted is NULL");
  device::DeviceLock lock(h);
  if (!lock) return 0;
  return core::CxGetStrobeParams(h, StrobeMode, StrobeOffDelay, StrobeOnDelay, Inverted) ? 1 : 0;
} catch (...) {
  return api::Caught();
}

uint32_t KEPRA_CALL kepra_SetStrobeParams(KEPRA_HANDLE H, uint32_t StrobeMode,
                                          uint8_t StrobeOffDelay, uint8_t StrobeOnDelay,
                                          uint8_t Inverted) noexcept try {
  HANDLE h = api::ToHandle(H);
  if (device::IsInvalid(h)) return api::Refuse("H is not valid");
  // A larger mode would spill into bits 8 and above of register 11.
  if (StrobeMode > core::kMaxStrobeMode) return api::Refuse("StrobeMode is not valid");
  device::DeviceLock lock(h);
  if (!lock) return 0;
  return core::CxSetStrobeParams(h, StrobeMode, StrobeOffDelay, StrobeOnDelay, Inverted != 0) ? 1
                                                                                              : 0;
} catch (...) {
  return api::Caught();
}

uint32_t KEPRA_CALL kepra_GetEventsState(KEPRA_HANDLE H, uint8_t* Bit) noexcept try {
  HANDLE h = api::ToHandle(H);
  if (device::IsInvalid(h)) return api::Refuse("H is not valid");
  if (!Bit) return api::Refuse("Bit is NULL");
  device::DeviceLock lock(h);
  if (!lock) return 0;
  return core::CxGetEventsState(h, Bit) ? 1 : 0;
} catch (...) {
  return api::Caught();
}

uint32_t KEPRA_CALL kepra_SetEventsState(KEPRA_HANDLE H, uint8_t Bit, uint8_t Mask) noexcept try {
  HANDLE h = api::ToHandle(H);
  if (device::IsInvalid(h)) return api::Refuse("H is not valid");
  device::DeviceLock lock(h);
  if (!lock) return 0;
  return core::CxSetEventsState(h, Bit, Mask) ? 1 : 0;
} catch (...) {
  return api::Caught();
}

int32_t KEPRA_CALL kepra_CheckEventsState(const void* FrameInfo, uint8_t Bit,
                                          uint8_t Mask) noexcept {
  if (!FrameInfo) {
    device::CxDebugPrint("%s", "FrameInfo == NULL!\n");
    return -1;
  }
  return core::FindEvent(static_cast<const std::uint8_t*>(FrameInfo), Bit, Mask);
}

}  // extern "C"
