// Wire format of the POSIX device channel, shared by the library and the virtual camera.
// One request at a time per connection, integers little-endian:
//   request: u32 control code, u32 input length, u32 output length, input bytes
//   reply:   u32 status (1 success, 0 failure), u32 Win32 error (on failure),
//            u32 bytes returned (at most the output length), that many output bytes
#pragma once

#include <cstdint>
#include <cstring>

namespace kepra::wire {

constexpr std::size_t kRequestHeaderSize = 12;
constexpr std::size_t kReplyHeaderSize = 12;

inline void PutU32(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
  p[2] = static_cast<std::uint8_t>(v >> 16);
  p[3] = static_cast<std::uint8_t>(v >> 24);
}

inline std::uint32_t GetU32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

}  // namespace kepra::wire
