// The driver version word and the firmware-version reply, as values.
#pragma once

#include <cstdint>

namespace kepra::core {

// The one driver this library works with.
constexpr std::uint8_t kRequiredDriverMajor = 0;
constexpr std::uint8_t kRequiredDriverMinor = 1;
constexpr std::uint16_t kRequiredDriverBuild = 96;

struct DriverVersion {
  std::uint32_t sign;   // 1 when the word is negative
  std::uint8_t major;   // bits 24-31 of the magnitude
  std::uint8_t minor;   // bits 16-23
  std::uint16_t build;  // bits 0-15
};

// The word is a signed 32-bit number; its sign is reported apart from the magnitude.
constexpr DriverVersion DecodeDriverVersion(std::uint32_t word) {
  const bool negative = (word & 0x80000000u) != 0;
  const std::uint32_t magnitude = negative ? 0u - word : word;
  return {negative ? 1u : 0u, static_cast<std::uint8_t>(magnitude / 0x1000000u),
          static_cast<std::uint8_t>(magnitude >> 16), static_cast<std::uint16_t>(magnitude)};
}

constexpr bool IsRequiredDriver(const DriverVersion& v) {
  return v.major == kRequiredDriverMajor && v.minor == kRequiredDriverMinor &&
         v.build == kRequiredDriverBuild;
}

constexpr std::uint32_t kFirmwareVersionReplySize = 12;

}  // namespace kepra::core
