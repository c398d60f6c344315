// The settings that the camera's driver keeps for it, exchanged whole through their own
// control requests rather than through sensor registers.
#pragma once

#include <cstdint>

namespace vcam {

struct DriverSettings {
  std::uint8_t hdr = 0;  // IOCTL_HDR: the byte last set
};

}  // namespace vcam
