#include "core/sensor_regs.h"

#include "driver/ioctl.h"
#include "driver/request.h"

namespace kepra::core {

bool CxReadSensorReg(HANDLE h, std::uint16_t address, std::uint16_t* value) {
  std::uint8_t in[2], out[2] = {};
  driver::PutU16(in, address);
  if (!driver::Request(h, driver::IOCTL_SENSOR_REG, in, sizeof in, out, sizeof out)) {
    return false;
  }
  *value = driver::GetU16(out);
  return true;
}

bool CxWriteSensorReg(HANDLE h, std::uint16_t address, std::uint16_t value) {
  std::uint8_t in[4];
  driver::PutU16(in, address);
  driver::PutU16(in + 2, value);
  return driver::Request(h, driver::IOCTL_SENSOR_REG, in, sizeof in, nullptr, 0);
}

}  // namespace kepra::core
