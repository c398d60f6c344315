#include "core/readout.h"

#include "core/sensor_regs.h"
#include "device/device.h"

namespace kepra::core {

using device::CxDebugPrint;

bool CxGetReadoutMode(HANDLE h, std::uint32_t* mode) {
  std::uint16_t r11 = 0;
  if (!CxReadSensorReg(h, kReadoutModeRegister, &r11)) {
    CxDebugPrint("CxReadSensorReg failed");
    return false;
  }
  *mode = ReadoutModeOf(r11);
  return true;
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
