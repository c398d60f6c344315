#include "core/timing.h"

#include <array>

#include "core/sensor_regs.h"
#include "device/device.h"
#include "driver/request.h"
#include "protocol/protocol.h"

namespace kepra::core {

using device::CxDebugPrint;

bool CxGetFramerateRegs(HANDLE h, TimingRegs* regs) {
  if (device::IsInvalid(h)) {
    CxDebugPrint("H is not valid");
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  // First register and count, each a 16-bit word: 0x00170004.
  std::uint8_t in[4];
  protocol::PutU16(in, kBlockFirstRegister);
  protocol::PutU16(in + 2, kBlockRegisterCount);
  std::uint8_t out[2 * kBlockRegisterCount] = {};
  if (!driver::Request(h, protocol::IOCTL_SENSOR_REGS, in, sizeof in, out, sizeof out)) {
    CxDebugPrint("CxReadSensorRegs failed");
    return false;
  }
  std::array<std::uint16_t, kBlockRegisterCount> words{};
  for (std::size_t k = 0; k < words.size(); ++k) words[k] = protocol::GetU16(out + 2 * k);
  *regs = TimingRegsFromBlock(words, regs->r57, regs->r73);
  if (!CxReadSensorReg(h, 57, &regs->r57) || !CxReadSensorReg(h, 73, &regs->r73)) {
    CxDebugPrint("CxReadSensorReg failed");
    return false;
  }
  return true;
}

bool CxUpdateFrameLength(HANDLE h) {
  if (device::IsInvalid(h)) {
    CxDebugPrint("H is not valid");
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  // A failed read of register 62 is treated as "update wanted".
  std::uint16_t r62 = 0;
  if (CxReadSensorReg(h, 62, &r62) && (r62 & 0x0010) == 0) return true;
  TimingRegs regs{};
  if (!CxGetFramerateRegs(h, &regs)) {
    CxDebugPrint("CxGetFramerateRegs failed");
    return false;
  }
  const std::uint16_t minimum = CxCalcMinFrameLength(regs);
  if (regs.r12 >= minimum) return true;
  CxWriteSensorReg(h, 12, minimum);  // its outcome is not reported
  return true;
}

bool ReadFrequency(HANDLE h, std::uint32_t* frequency_mhz) {
  std::uint8_t out[4] = {};
  if (!driver::Request(h, protocol::IOCTL_FREQUENCY, nullptr, 0, out, sizeof out)) return false;
  *frequency_mhz = protocol::GetU32(out);
  return true;
}

bool WriteFrequency(HANDLE h, std::uint32_t frequency_mhz) {
  std::uint8_t in[4];
  protocol::PutU32(in, frequency_mhz);
  return driver::Request(h, protocol::IOCTL_FREQUENCY, in, sizeof in, nullptr, 0);
}

}  // namespace kepra::core
