#include "core/readout_math.h"

namespace kepra::core {

std::uint32_t ReadoutModeOf(std::uint16_t r11) { return (r11 >> 4) & 3u; }

std::uint16_t WithReadoutMode(std::uint16_t r11, std::uint32_t mode) {
  const auto field = static_cast<std::uint16_t>((mode << 4) & kReadoutModeMask);
  return static_cast<std::uint16_t>((r11 & ~kReadoutModeMask) | field);
}

bool Tuning0900(std::uint32_t mode, TuningWrites* writes) {
  // Modes 1 and 2 share their values.
  switch (mode) {
    case 0:
      *writes = {{{65, 0xE930}, {70, 0x4300}, {109, 0x516E}}};
      return true;
    case 1:
    case 2:
      *writes = {{{65, 0xE915}, {70, 0x4222}, {109, 0x4C5C}}};
      return true;
    default:
      return false;
  }
}

}  // namespace kepra::core
