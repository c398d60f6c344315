#include "core/gain.h"

#include <cstdint>

#include "core/gain_math.h"
#include "core/sensor_regs.h"
#include "device/device.h"

namespace kepra::core {

using device::CxDebugPrint;

namespace {

// The sensor applies a new analog and digital gain only after this long.
constexpr DWORD kGainSettleMs = 20;

std::uint8_t High(std::uint16_t v) { return static_cast<std::uint8_t>(v >> 8); }
std::uint8_t Low(std::uint16_t v) { return static_cast<std::uint8_t>(v); }

}  // namespace

bool GetGain(HANDLE h, double* analog, double* digital) {
  std::uint16_t r17 = 0;
  if (!CxReadSensorReg(h, 17, &r17)) {
    CxDebugPrint("CxReadSensorReg failed");
    return false;
  }
  *analog = AnalogGainFactor(High(r17));
  *digital = DigitalGainFactor(Low(r17));
  return true;
}

bool SetGain(HANDLE h, double analog, double digital) {
  const auto analog_code = static_cast<std::uint8_t>(AnalogGainCode(analog) & 7);
  const bool written = CxWriteSensorReg(h, 17, GainRegister(analog_code, DigitalGainCode(digital)));
  if (!written) CxDebugPrint("CxWriteSensorReg failed");
  Sleep(kGainSettleMs);  // whatever the write did: callers rely on the pause after each call
  return written;
}

bool GetGainC(HANDLE h, double* gb, double* gr, double* b, double* r) {
  std::uint16_t r54 = 0, r55 = 0;
  if (!CxReadSensorReg(h, 54, &r54) || !CxReadSensorReg(h, 55, &r55)) {
    CxDebugPrint("CxReadSensorReg failed");
    return false;
  }
  *gb = ColourGainFactor(High(r54));
  *gr = ColourGainFactor(Low(r54));
  *b = ColourGainFactor(High(r55));
  *r = ColourGainFactor(Low(r55));
  return true;
}

bool SetGainC(HANDLE h, double gb, double gr, double b, double r) {
  if (!CxWriteSensorReg(h, 54, GainRegister(ColourGainCode(gb), ColourGainCode(gr))) ||
      !CxWriteSensorReg(h, 55, GainRegister(ColourGainCode(b), ColourGainCode(r)))) {
    CxDebugPrint("CxWriteSensorReg failed");
    return false;
  }
  return true;
}

}  // namespace kepra::core
