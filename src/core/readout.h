// Readout mode: bits 4-5 of sensor register 11, and the tuning registers that sensor variant
// 0x0900 needs for each mode. The pure functions are the register values; CxSetReadoutMode
// writes them (called with the device lock held).
#pragma once

#include <array>
#include <cstdint>

#include "platform/win32.h"

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

// Sets the mode field of register 11 and, on variant 0x0900, the tuning registers. Fails
// without a debug line on an unknown variant (nothing written) and on variant 0x0900 for a
// mode without tuning values (register 11 already written).
bool CxSetReadoutMode(HANDLE h, std::uint32_t mode);

}  // namespace kepra::core
