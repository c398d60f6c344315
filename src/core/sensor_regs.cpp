#include "core/sensor_regs.h"

#include "driver/request.h"
#include "protocol/protocol.h"

namespace kepra::core {

bool CxReadSensorReg(HANDLE h, std::uint16_t address, std::uint16_t* value) {
  std::uint8_t in[2], out[2] = {};
  protocol::PutU16(in, address);
  if (!driver::Request(h, protocol::IOCTL_SENSOR_REG, in, sizeof in, out, sizeof out)) {
    return false;
  }
  *value = protocol::GetU16(out);
  return true;
}

bool CxWriteSensorReg(HANDLE h, std::uint16_t address, std::uint16_t value) {
  std::uint8_t in[4];
  protocol::PutU16(in, address);
  protocol::PutU16(in + 2, value);
  return driver::Request(h, protocol::IOCTL_SENSOR_REG, in, sizeof in, nullptr, 0);
}

}  // namespace kepra::core
