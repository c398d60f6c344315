// Helpers of the sensor-side suites (timing, exposure, gain): register setup, failing the
// n-th request of a code, and the request log as short readable words.
#pragma once

#include <cstdio>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "fixture.h"

namespace kt {

class SensorTest : public CameraTest {
 protected:
  void SetRegisters(std::initializer_list<std::pair<std::uint16_t, std::uint16_t>> values) {
    for (const auto& [address, value] : values) camera_->SetRegister(address, value);
  }

  // Fails the n-th request of `code` counted from now (1-based).
  void FailNth(std::uint32_t code, std::uint64_t nth, std::uint32_t error = 31) {
    vcam::Fault fault;
    fault.code = code;
    fault.nth = nth;
    fault.error = error;
    camera_->AddFault(fault);
  }

  // The work requests as words: "R14" a register read, "W12=044C" a register write (value in
  // hex), "BLOCK" the timing block read, "F?" / "F=40" a clock read / set, a "!" suffix for a
  // request that failed.
  std::vector<std::string> Ops() const {
    std::vector<std::string> ops;
    for (const auto& e : WorkRequests()) {
      char word[32];
      if (e.code == io::IOCTL_SENSOR_REG && e.in.size() == 2) {
        std::snprintf(word, sizeof word, "R%u", e.in[0] | e.in[1] << 8);
      } else if (e.code == io::IOCTL_SENSOR_REG && e.in.size() == 4) {
        std::snprintf(word, sizeof word, "W%u=%04X", e.in[0] | e.in[1] << 8,
                      e.in[2] | e.in[3] << 8);
      } else if (e.code == io::IOCTL_SENSOR_REGS) {
        std::snprintf(word, sizeof word, "BLOCK");
      } else if (e.code == io::IOCTL_FREQUENCY && e.in.empty()) {
        std::snprintf(word, sizeof word, "F?");
      } else if (e.code == io::IOCTL_FREQUENCY) {
        std::snprintf(word, sizeof word, "F=%u", e.in[0] | e.in[1] << 8);
      } else {
        std::snprintf(word, sizeof word, "0x%X", e.code);
      }
      ops.push_back(std::string(word) + (e.ok ? "" : "!"));
    }
    return ops;
  }

  // Register writes only, as in Ops().
  std::vector<std::string> Writes() const {
    std::vector<std::string> writes;
    for (const auto& op : Ops()) {
      if (op[0] == 'W') writes.push_back(op);
    }
    return writes;
  }
};

using Lines = std::vector<std::string>;
using Words = std::vector<std::string>;

}  // namespace kt
