#include "device/device.h"
#include "driver/transport.h"

namespace kepra::device {

GUID InterfaceClass(std::uint32_t index) {
  GUID guid{0x90bcde2c, 0xe6de, 0x4cf2, {0xb4, 0x3c, 0xd0, 0x85, 0x0c, 0x4d, 0x47, 0x00}};
  guid.Data4[7] = static_cast<std::uint8_t>(index);
  return guid;
}

bool CxGetDevicePath(const GUID& interface_class, char (&path)[kDevicePathSize]) {
  return driver::Current().enumerate(interface_class, path, kDevicePathSize);
}

}  // namespace kepra::device
