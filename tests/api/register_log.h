// Reads the sensor-register requests out of a camera's request log.
#pragma once

#include <cstdint>
#include <vector>

#include "fixture.h"

namespace kt {

struct RegisterAccess {
  bool write;
  std::uint16_t address;
  std::uint16_t value;  // the value written; 0 for a read
  bool ok;
  bool operator==(const RegisterAccess&) const = default;
};

inline RegisterAccess Read(std::uint16_t address, bool ok = true) {
  return {false, address, 0, ok};
}
inline RegisterAccess Write(std::uint16_t address, std::uint16_t value, bool ok = true) {
  return {true, address, value, ok};
}

inline void PrintTo(const RegisterAccess& a, std::ostream* os) {
  *os << (a.write ? "write " : "read ") << a.address;
  if (a.write) *os << " = 0x" << std::hex << a.value << std::dec;
  if (!a.ok) *os << " (failed)";
}

// The single-register reads and writes in the log, in order; other requests are skipped.
inline std::vector<RegisterAccess> RegisterAccesses(const std::vector<vcam::LogEntry>& log) {
  std::vector<RegisterAccess> accesses;
  for (const auto& e : log) {
    if (e.code != io::IOCTL_SENSOR_REG) continue;
    const auto address = static_cast<std::uint16_t>(e.in.at(0) | e.in.at(1) << 8);
    if (e.in.size() == 4) {
      accesses.push_back(Write(address, static_cast<std::uint16_t>(e.in[2] | e.in[3] << 8), e.ok));
    } else {
      accesses.push_back(Read(address, e.ok));
    }
  }
  return accesses;
}

// A fault that fails only the n-th request of a code (1-based, counted from now).
inline vcam::Fault NthFault(std::uint32_t code, std::uint64_t nth, std::uint32_t error) {
  vcam::Fault fault;
  fault.code = code;
  fault.nth = nth;
  fault.error = error;
  return fault;
}

// True when the log is one locked sequence: the device-index request of the lock first and
// that of the release last, with the work in between.
inline bool Locked(const std::vector<vcam::LogEntry>& log) {
  return log.size() >= 2 && log.front().code == io::IOCTL_DEVICE_INDEX &&
         log.back().code == io::IOCTL_DEVICE_INDEX;
}

}  // namespace kt
