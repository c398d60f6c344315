#include <cstring>

#include "device/device.h"

namespace kepra::device {

GUID InterfaceClass(std::uint32_t index) {
  GUID guid{0x90bcde2c, 0xe6de, 0x4cf2, {0xb4, 0x3c, 0xd0, 0x85, 0x0c, 0x4d, 0x47, 0x00}};
  guid.Data4[7] = static_cast<std::uint8_t>(index);
  return guid;
}

bool CxGetDevicePath(const GUID& interface_class, char (&path)[kDevicePathSize]) {
  HDEVINFO set = SetupDiGetClassDevsA(&interface_class, nullptr, nullptr,
                                      DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) return false;

  SP_DEVICE_INTERFACE_DATA interface_data{};
  interface_data.cbSize = sizeof interface_data;
  if (!SetupDiEnumDeviceInterfaces(set, nullptr, &interface_class, 0, &interface_data)) {
    SetupDiDestroyDeviceInfoList(set);
    return false;
  }

  // The first call only learns the size; its failure is expected.
  DWORD required = 0;
  SetupDiGetDeviceInterfaceDetailA(set, &interface_data, nullptr, 0, &required, nullptr);

  auto* detail = static_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(LocalAlloc(LMEM_FIXED, required));
  if (!detail) {
    SetupDiDestroyDeviceInfoList(set);
    return false;
  }
  // The size field is that of the record's fixed part, not of the allocation.
  detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
  if (!SetupDiGetDeviceInterfaceDetailA(set, &interface_data, detail, required, nullptr, nullptr)) {
    SetupDiDestroyDeviceInfoList(set);
    LocalFree(detail);
    return false;
  }

  const char* source = reinterpret_cast<const char*>(detail) +
                       offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
  const std::size_t available = required - offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
  bool fitted = false;
  for (std::size_t i = 0; i < kDevicePathSize && i < available; ++i) {
    path[i] = source[i];
    if (source[i] == '\0') {
      fitted = true;
      break;
    }
  }
  SetupDiDestroyDeviceInfoList(set);
  LocalFree(detail);
  return fitted;
}

}  // namespace kepra::device
