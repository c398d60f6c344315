#include "core/readout.h"

#include "core/sensor_regs.h"
#include "device/device.h"

namespace kepra::core {

using device::CxDebugPrint;

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

bool CxSetReadoutMode(HANDLE h, std::uint32_t mode) {
  std::uint16_t variant = 0;
  if (!CxReadSensorReg(h, kSensorVariantRegister, &variant)) {
    CxDebugPrint("CxReadSensorReg failed");
    return false;
  }
  if (variant != kSensorVariant0900 && variant != kSensorVariant0800) return false;
  std::uint16_t r11 = 0;
  if (!CxReadSensorReg(h, kReadoutModeRegister, &r11)) {
    CxDebugPrint("CxReadSensorReg failed");
    return false;
  }
  if (!CxWriteSensorReg(h, kReadoutModeRegister, WithReadoutMode(r11, mode))) {
    CxDebugPrint("CxWriteSensorReg failed");
    return false;
  }
  if (variant == kSensorVariant0800) return true;
  // Variant 0x0900: a mode without tuning values fails, though register 11 now holds it.
  TuningWrites writes{};
  if (!Tuning0900(mode, &writes)) return false;
  for (const RegisterWrite& w : writes) {
    if (!CxWriteSensorReg(h, w.address, w.value)) {
      CxDebugPrint("CxWriteSensorReg failed");
      return false;
    }
  }
  return true;
}

}  // namespace kepra::core
