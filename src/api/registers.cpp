// Direct sensor-register access and the sensor clock.
#include "api/export.h"
#include "core/sensor_regs.h"
#include "core/timing.h"
#include "core/timing_math.h"
#include "driver/request.h"
#include "protocol/protocol.h"

using namespace kepra;

namespace {

// The clock range the sensor runs at.
constexpr uint32_t kMinFrequencyMHz = 4;
constexpr uint32_t kMaxFrequencyMHz = 114;

}  // namespace

extern "C" {

uint32_t KEPRA_CALL kepra_ReadSensorReg(KEPRA_HANDLE H, uint32_t Address, uint16_t* Value) noexcept
    try {
  HANDLE h = api::ToHandle(H);
  if (device::IsInvalid(h)) return api::Fail(ERROR_INVALID_PARAMETER);
  device::DeviceLock lock(h);
  if (!lock) return 0;
  // The driver writes the value straight into the caller's two bytes.
  std::uint8_t in[2];
  protocol::PutU16(in, static_cast<std::uint16_t>(Address));
  return driver::Request(h, protocol::IOCTL_SENSOR_REG, in, sizeof in, Value, 2) ? 1 : 0;
} catch (...) {
  return api::Caught();
}

uint32_t KEPRA_CALL kepra_WriteSensorReg(KEPRA_HANDLE H, uint32_t Address, uint32_t Value) noexcept
    try {
  HANDLE h = api::ToHandle(H);
  if (device::IsInvalid(h)) return api::Fail(ERROR_INVALID_PARAMETER);
  device::DeviceLock lock(h);
  if (!lock) return 0;
  return core::CxWriteSensorReg(h, static_cast<std::uint16_t>(Address),
                                static_cast<std::uint16_t>(Value))
             ? 1
             : 0;
} catch (...) {
  return api::Caught();
}

uint32_t KEPRA_CALL kepra_GetFrequency(KEPRA_HANDLE H, uint32_t* FrequencyMHz) noexcept try {
  HANDLE h = api::ToHandle(H);
  if (device::IsInvalid(h)) return api::Fail(ERROR_INVALID_PARAMETER);
  if (!FrequencyMHz) return api::Refuse("FrequencyMHz is NULL");
  device::DeviceLock lock(h);
  if (!lock) return 0;
  // A failed request leaves the caller's variable as it was.
  std::uint32_t frequency = 0;
  if (!core::ReadFrequency(h, &frequency)) return 0;
  *FrequencyMHz = frequency;
  return 1;
} catch (...) {
  return api::Caught();
}

uint32_t KEPRA_CALL kepra_SetFrequency(KEPRA_HANDLE H, uint32_t FrequencyMHz) noexcept try {
  HANDLE h = api::ToHandle(H);
  if (device::IsInvalid(h)) return api::Fail(ERROR_INVALID_PARAMETER);
  if (FrequencyMHz < kMinFrequencyMHz || FrequencyMHz > kMaxFrequencyMHz) {
    return api::Fail(ERROR_INVALID_PARAMETER);
  }
  device::DeviceLock lock(h);
  if (!lock) return 0;
  return core::WriteFrequency(h, FrequencyMHz) ? 1 : 0;
} catch (...) {
  return api::Caught();
}

uint32_t KEPRA_CALL kepra_GetFrequencyD(KEPRA_HANDLE H, double* FrequencyMHz) noexcept try {
  // A null pointer is handed on so that it is refused like the integer form's ("FrequencyMHz
  // is NULL", 87) instead of being written through.
  std::uint32_t frequency = 0;
  const uint32_t ok = kepra_GetFrequency(H, FrequencyMHz ? &frequency : nullptr);
  // The caller's double is written in every case; after a failed read it is 0.0, never a
  // stale or made-up clock.
  if (FrequencyMHz) *FrequencyMHz = ok ? static_cast<double>(frequency) : 0.0;
  return ok;
} catch (...) {
  return api::Caught();
}

uint32_t KEPRA_CALL kepra_SetFrequencyD(KEPRA_HANDLE H, double FrequencyMHz) noexcept try {
  // The fraction is dropped; NaN and values beyond the 64-bit range become 0, which the range
  // check refuses.
  return kepra_SetFrequency(H, static_cast<uint32_t>(core::TruncToInt64Bits(FrequencyMHz)));
} catch (...) {
  return api::Caught();
}

}  // extern "C"
