// Reply helpers and Win32 error values shared by the camera's request handlers.
#pragma once

#include <cstdint>

#include "camera.h"

namespace vcam::reply {

constexpr std::uint32_t kErrorInvalidFunction = 1;
constexpr std::uint32_t kErrorInvalidParameter = 87;
constexpr std::uint32_t kErrorInsufficientBuffer = 122;
constexpr std::uint32_t kErrorIoDevice = 1117;  // the state file could not be written
constexpr std::uint32_t kErrorDeviceNotConnected = 1167;

inline Camera::Result Ok(std::uint32_t bytes = 0) { return {true, 0, bytes, false}; }
inline Camera::Result Error(std::uint32_t error) { return {false, error, 0, false}; }

inline std::uint16_t GetU16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] | p[1] << 8);
}
inline std::uint32_t GetU32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}
inline void PutU16(std::uint8_t* p, std::uint16_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}
inline void PutU32(std::uint8_t* p, std::uint32_t v) {
  PutU16(p, static_cast<std::uint16_t>(v));
  PutU16(p + 2, static_cast<std::uint16_t>(v >> 16));
}

}  // namespace vcam::reply
