#include "core/strobe.h"

#include "core/sensor_regs.h"
#include "driver/request.h"
#include "protocol/protocol.h"

namespace kepra::core {

bool CxGetSnapshotParams(HANDLE h, std::uint32_t* timeout_ms, std::uint8_t* inverted) {
  std::uint8_t out[4] = {};
  if (!driver::Request(h, protocol::IOCTL_SNAPSHOT_PARAMS, nullptr, 0, out, sizeof out)) {
    return false;
  }
  const SnapshotParams params = DecodeSnapshot(protocol::GetU32(out));
  *inverted = params.inverted ? 1 : 0;
  *timeout_ms = params.timeout_ms;
  return true;
}

bool CxSetSnapshotParams(HANDLE h, std::uint32_t timeout_ms, bool inverted) {
  std::uint8_t in[4];
  protocol::PutU32(in, EncodeSnapshot(timeout_ms, inverted));
  return driver::Request(h, protocol::IOCTL_SNAPSHOT_PARAMS, in, sizeof in, nullptr, 0);
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
  return driver::Request(h, protocol::IOCTL_EVENTS_STATE, nullptr, 0, state, 1);
}

bool CxSetEventsState(HANDLE h, std::uint8_t bit, std::uint8_t mask) {
  std::uint8_t state = 0;
  if (!CxGetEventsState(h, &state)) return false;
  const std::uint8_t next = NextEventsState(state, bit, mask);
  return driver::Request(h, protocol::IOCTL_EVENTS_STATE, &next, 1, nullptr, 0);
}

}  // namespace kepra::core
