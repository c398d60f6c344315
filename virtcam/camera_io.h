// Reply helpers, Win32 error values and the waiting-request count shared by the camera's
// request handlers; fields are read and written with the protocol's little-endian helpers.
#pragma once

#include <cstdint>

#include "camera.h"
#include "protocol/protocol.h"

namespace vcam::reply {

constexpr std::uint32_t kErrorInvalidFunction = 1;
constexpr std::uint32_t kErrorInvalidParameter = 87;
constexpr std::uint32_t kErrorInsufficientBuffer = 122;
constexpr std::uint32_t kErrorIoDevice = 1117;  // the state file could not be written
constexpr std::uint32_t kErrorDeviceNotConnected = 1167;

inline Camera::Result Ok(std::uint32_t bytes = 0) { return {true, 0, bytes, false}; }
inline Camera::Result Error(std::uint32_t error) { return {false, error, 0, false}; }

using kepra::protocol::GetU16;
using kepra::protocol::GetU32;
using kepra::protocol::PutU16;
using kepra::protocol::PutU32;

// Counts a request as waiting for as long as it is in scope (under the camera's lock).
class Waiting {
 public:
  explicit Waiting(std::uint32_t& count) : count_(count) { ++count_; }
  ~Waiting() { --count_; }
  Waiting(const Waiting&) = delete;
  Waiting& operator=(const Waiting&) = delete;

 private:
  std::uint32_t& count_;
};

}  // namespace vcam::reply
