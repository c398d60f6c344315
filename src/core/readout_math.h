// Readout mode as values: bits 4-5 of sensor register 11, and the tuning registers that
// sensor variant 0x0900 needs for each mode. No device access.
#pragma once

#include <array>
#include <cstdint>

namespace kepra::core {

constexpr std::uint16_t kReadoutModeRegister = 11;
constexpr std::uint16_t kReadoutModeMask = 0x0030;
constexpr std::uint16_t kSensorVariantRegister = 127;
constexpr std::uint16_t kSensorVariant0800 = 0x0800;
constexpr std::uint16_t kSensorVariant0900 = 0x0900;

// The readout mode held in a value of register 11.
std::uint32_t ReadoutModeOf(std::uint16_t r11);

// Register 11 with its mode field replaced by the two low bits of `mode`; other bits kept.
std::uint16_t WithReadoutMode(std::uint16_t r11, std::uint32_t mode);

struct RegisterWrite {
  std::uint16_t address;
  std::uint16_t value;
};
using TuningWrites = std::array<RegisterWrite, 3>;

// The tuning writes of variant 0x0900 for a mode, in the order they go out. False for a mode
// that has none (3 and above).
bool Tuning0900(std::uint32_t mode, TuningWrites* writes);

}  // namespace kepra::core
