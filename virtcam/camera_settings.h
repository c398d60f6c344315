// The settings that the camera's driver keeps for it, exchanged whole through their own
// control requests rather than through sensor registers.
#pragma once

#include <cstdint>

namespace vcam {

struct DriverSettings {
  std::uint8_t hdr = 0;           // IOCTL_HDR: the byte last set
  std::uint8_t events_state = 0;  // IOCTL_EVENTS_STATE
  std::uint32_t snapshot = 0;     // IOCTL_SNAPSHOT_PARAMS: the encoded timeout, as sent
};

}  // namespace vcam
