// Requests to the camera driver. Every request is synchronous: it is complete when the call
// returns. On failure the last error is the one the system left.
#pragma once

#include <cstdint>

#include "platform/win32.h"

namespace kepra::driver {

// Sends one control request. `returned`, when given, receives the bytes the driver wrote.
bool Request(HANDLE h, std::uint32_t code, const void* in, std::uint32_t in_size, void* out,
             std::uint32_t out_size, std::uint32_t* returned = nullptr);

// The device index the driver reports for an open handle.
bool QueryDeviceIndex(HANDLE h, std::uint32_t* index);

inline void PutU16(std::uint8_t* p, std::uint16_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}
inline std::uint16_t GetU16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
inline void PutU32(std::uint8_t* p, std::uint32_t v) {
  PutU16(p, static_cast<std::uint16_t>(v));
  PutU16(p + 2, static_cast<std::uint16_t>(v >> 16));
}
inline std::uint32_t GetU32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(GetU16(p)) | (static_cast<std::uint32_t>(GetU16(p + 2)) << 16);
}

}  // namespace kepra::driver
