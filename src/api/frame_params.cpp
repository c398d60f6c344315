// Frame parameters, stream mode and front LED: settings the driver keeps and the library only
// carries.
#include "api/export.h"
#include "core/timing.h"
#include "driver/request.h"
#include "protocol/protocol.h"

using namespace kepra;

extern "C" {

uint32_t KEPRA_CALL kepra_GetFrameParams(KEPRA_HANDLE H, kepra_FrameParams* Params) noexcept try {
  // No check of its own: an invalid handle or pointer fails in the request.
  return driver::Request(api::ToHandle(H), protocol::IOCTL_FRAME_PARAMS, nullptr, 0, Params,
                         sizeof(kepra_FrameParams))
             ? 1
             : 0;
} catch (...) {
  return api::Caught();
}

uint32_t KEPRA_CALL kepra_SetFrameParams(KEPRA_HANDLE H, const kepra_FrameParams* Params) noexcept
    try {
  HANDLE h = api::ToHandle(H);
  device::DeviceLock lock(h);  // its own check refuses the invalid handle
  if (!lock) return 0;
  const bool ok = driver::Request(h, protocol::IOCTL_FRAME_PARAMS, Params,
                                  sizeof(kepra_FrameParams), nullptr, 0);
  // The sensor may now need a longer frame, whatever the driver made of the record.
  core::CxUpdateFrameLength(h);
  return ok ? 1 : 0;
} catch (...) {
  return api::Caught();
}

uint32_t KEPRA_CALL kepra_GetStreamMode(KEPRA_HANDLE H, uint32_t* Mode) noexcept try {
  HANDLE h = api::ToHandle(H);
  if (device::IsInvalid(h)) return api::Fail(ERROR_INVALID_PARAMETER);
  return driver::Request(h, protocol::IOCTL_STREAM_MODE, nullptr, 0, Mode, 4) ? 1 : 0;
} catch (...) {
  return api::Caught();
}

uint32_t KEPRA_CALL kepra_SetStreamMode(KEPRA_HANDLE H, uint32_t Mode) noexcept try {
  HANDLE h = api::ToHandle(H);
  if (device::IsInvalid(h)) return api::Fail(ERROR_INVALID_PARAMETER);
  device::DeviceLock lock(h);
  if (!lock) return 0;
  std::uint8_t in[4];
  protocol::PutU32(in, Mode);
  return driver::Request(h, protocol::IOCTL_STREAM_MODE, in, sizeof in, nullptr, 0) ? 1 : 0;
} catch (...) {
  return api::Caught();
}

uint32_t KEPRA_CALL kepra_SwitchFrontLED(KEPRA_HANDLE H, uint8_t State) noexcept try {
  HANDLE h = api::ToHandle(H);
  if (device::IsInvalid(h)) return api::Fail(ERROR_INVALID_HANDLE);
  return driver::Request(h, protocol::IOCTL_FRONT_LED, &State, 1, nullptr, 0) ? 1 : 0;
} catch (...) {
  return api::Caught();
}

}  // extern "C"
