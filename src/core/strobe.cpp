#include "core/strobe.h"

#include <algorithm>

#include "core/sensor_regs.h"
#include "driver/ioctl.h"
#include "driver/request.h"

namespace kepra::core {

namespace {
constexpr std::uint32_t kInvertedZero = 0x80000000u;
}

std::uint32_t EncodeSnapshot(std::uint32_t timeout_ms, bool inverted) {
  if (!inverted) return timeout_ms;
  if (timeout_ms == 0) return kInvertedZero;
  return 0u - timeout_ms;
}

SnapshotParams DecodeSnapshot(std::uint32_t value) {
  if ((value & 0x80000000u) == 0) return {value, false};
  if (value == kInvertedZero) return {0, true};
  return {0u - value, true};
}

std::uint16_t StrobeDelays(std::uint8_t off_delay, std::uint8_t on_delay) {
  return static_cast<std::uint16_t>(on_delay << 8 | off_delay);
}

std::uint16_t WithStrobeInverted(std::uint16_t r7, bool inverted) {
  return static_cast<std::uint16_t>(inverted ? r7 | kStrobeInvertedBit : r7 & ~kStrobeInvertedBit);
}

std::uint16_t WithStrobeMode(std::uint16_t r11, std::uint32_t mode) {
  return static_cast<std::uint16_t>(((r11 & 0xFF3Fu) | (mode << 6)) & 0xFFFFu);
}

std::uint8_t NextEventsState(std::uint8_t state, std::uint8_t bit, std::uint8_t mask) {
  const unsigned m = mask & 0x0Fu;
  return static_cast<std::uint8_t>(((bit & m) | state) & ~(bit ^ m));
}

std::int32_t FindEvent(const std::uint8_t* frame_info, std::uint8_t bit, std::uint8_t mask) {
  // A count beyond the record's room is bad input: only the bytes the record has are searched.
  const std::uint16_t count =
      std::min(driver::GetU16(frame_info + kFrameInfoEventCountOffset), kFrameInfoMaxEvents);
  const std::uint8_t* events = frame_info + kFrameInfoEventsOffset;
  const unsigned target = bit & mask;
  for (std::uint16_t i = 0; i < count; ++i) {
    if ((events[i] & mask) == target) return i;
  }
  return -1;
}

bool CxGetSnapshotParams(HANDLE h, std::uint32_t* timeout_ms, std::uint8_t* inverted) {
  std::uint8_t out[4] = {};
  if (!driver::Request(h, driver::IOCTL_SNAPSHOT_PARAMS, nullptr, 0, out, sizeof out)) {
    return false;
  }
  const SnapshotParams params = DecodeSnapshot(driver::GetU32(out));
  *inverted = params.inverted ? 1 : 0;
  *timeout_ms = params.timeout_ms;
  return true;
}

bool CxSetSnapshotParams(HANDLE h, std::uint32_t timeout_ms, bool inverted) {
  std::uint8_t in[4];
  driver::PutU32(in, EncodeSnapshot(timeout_ms, inverted));
  return driver::Request(h, driver::IOCTL_SNAPSHOT_PARAMS, in, sizeof in, nullptr, 0);
}

bool CxGetStrobeParams(HANDLE h, std::uint32_t* mode, std::uint8_t* off_delay,
                       std::uint8_t* on_delay, std::uint8_t* inverted) {
  std::uint16_t value = 0;
  if (!CxReadSensorReg(h, kStrobeDelayRegister, &value)) return false;
  *off_delay = static_cast<std::uint8_t>(value);
  *on_delay = static_cast<std::uint8_t>(value >> 8);
  if (!CxReadSensorReg(h, kStrobeInvertedRegister, &value)) return false;
  *inverted = (value & kStrobeInvertedBit) ? 1 : 0;
  if (!CxReadSensorReg(h, kStrobeModeRegister, &value)) return false;
  *mode = (value >> 6) & 3u;
  return true;
}

bool CxSetStrobeParams(HANDLE h, std::uint32_t mode, std::uint8_t off_delay, std::uint8_t on_delay,
                       bool inverted) {
  if (!CxWriteSensorReg(h, kStrobeDelayRegister, StrobeDelays(off_delay, on_delay))) {
    return false;
  }
  // An unreadable register 7 is left as it is; the mode is still set.
  std::uint16_t r7 = 0;
  if (CxReadSensorReg(h, kStrobeInvertedRegister, &r7) &&
      !CxWriteSensorReg(h, kStrobeInvertedRegister, WithStrobeInverted(r7, inverted))) {
    return false;
  }
  std::uint16_t r11 = 0;
  if (!CxReadSensorReg(h, kStrobeModeRegister, &r11)) return false;
  return CxWriteSensorReg(h, kStrobeModeRegister, WithStrobeMode(r11, mode));
}

bool CxGetEventsState(HANDLE h, std::uint8_t* state) {
  return driver::Request(h, driver::IOCTL_EVENTS_STATE, nullptr, 0, state, 1);
}

bool CxSetEventsState(HANDLE h, std::uint8_t bit, std::uint8_t mask) {
  std::uint8_t state = 0;
  if (!CxGetEventsState(h, &state)) return false;
  const std::uint8_t next = NextEventsState(state, bit, mask);
  return driver::Request(h, driver::IOCTL_EVENTS_STATE, &next, 1, nullptr, 0);
}

}  // namespace kepra::core
