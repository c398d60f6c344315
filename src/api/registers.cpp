// Direct sensor-register access.
#include "api/export.h"
#include "core/sensor_regs.h"
#include "driver/ioctl.h"
#include "driver/request.h"

using namespace kepra;

extern "C" {

uint32_t KEPRA_CALL kepra_ReadSensorReg(KEPRA_HANDLE H, uint32_t Address, uint16_t* Value) {
  HANDLE h = api::ToHandle(H);
  if (device::IsInvalid(h)) return api::Fail(ERROR_INVALID_PARAMETER);
  device::DeviceLock lock(h);
  if (!lock) return 0;
  // The driver writes the value straight into the caller's two bytes.
  std::uint8_t in[2];
  driver::PutU16(in, static_cast<std::uint16_t>(Address));
  return driver::Request(h, driver::IOCTL_SENSOR_REG, in, sizeof in, Value, 2) ? 1 : 0;
}

uint32_t KEPRA_CALL kepra_WriteSensorReg(KEPRA_HANDLE H, uint32_t Address, uint32_t Value) {
  HANDLE h = api::ToHandle(H);
  if (device::IsInvalid(h)) return api::Fail(ERROR_INVALID_PARAMETER);
  device::DeviceLock lock(h);
  if (!lock) return 0;
  return core::CxWriteSensorReg(h, static_cast<std::uint16_t>(Address),
                                static_cast<std::uint16_t>(Value))
             ? 1
             : 0;
}

}  // extern "C"
