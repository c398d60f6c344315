// Device discovery: a device-information set of one interface class holds the interface
// whose socket is present in the device directory, if any.
#include <sys/stat.h>

#include <cstring>
#include <string>

#include "platform/posix/handles.h"
#include "platform/posix/win32_posix.h"

namespace {

struct DeviceInfoSet final : kepra::posix::Object {
  GUID guid{};
  bool present = false;
  std::string path;
};

bool SameGuid(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof(GUID)) == 0; }

}  // namespace

HDEVINFO SetupDiGetClassDevsA(const GUID* class_guid, PCSTR enumerator, HWND, DWORD flags) {
  // Only the one query the library makes is served: present interfaces of one class.
  if (!class_guid || enumerator || (flags & DIGCF_DEVICEINTERFACE) == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  auto set = std::make_shared<DeviceInfoSet>();
  set->guid = *class_guid;
  // The directory is read each time a set is built, so a changed environment takes effect.
  set->path = kepra::posix::DeviceDirectory() + "/" + kepra::posix::InterfaceFileName(*class_guid);
  struct stat st {};
  set->present = stat(set->path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
  HANDLE handle = kepra::posix::AddHandle(std::move(set));
  if (!handle) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return INVALID_HANDLE_VALUE;
  }
  return handle;
}

BOOL SetupDiEnumDeviceInterfaces(HDEVINFO handle, PSP_DEVINFO_DATA, const GUID* class_guid,
                                 DWORD member_index, PSP_DEVICE_INTERFACE_DATA data) {
  auto set = kepra::posix::FindHandleAs<DeviceInfoSet>(handle);
  if (!set) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (!class_guid || !data || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
    SetLastError(data && class_guid ? ERROR_INVALID_USER_BUFFER : ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (!set->present || member_index != 0 || !SameGuid(*class_guid, set->guid)) {
    SetLastError(ERROR_NO_MORE_ITEMS);
    return FALSE;
  }
  data->InterfaceClassGuid = set->guid;
  data->Flags = SPINT_ACTIVE;
  data->Reserved = 0;
  return TRUE;
}

BOOL SetupDiGetDeviceInterfaceDetailA(HDEVINFO handle, PSP_DEVICE_INTERFACE_DATA data,
                                      PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail, DWORD detail_size,
                                      PDWORD required_size, PSP_DEVINFO_DATA) {
  auto set = kepra::posix::FindHandleAs<DeviceInfoSet>(handle);
  if (!set) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (!data || !set->present || !SameGuid(data->InterfaceClassGuid, set->guid)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const DWORD needed = static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) +
                                          set->path.size() + 1);
  if (required_size) *required_size = needed;
  if (!detail) {
    SetLastError(detail_size ? ERROR_INVALID_USER_BUFFER : ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  if (detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) {
    SetLastError(ERROR_INVALID_USER_BUFFER);
    return FALSE;
  }
  if (detail_size < needed) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  std::memcpy(detail->DevicePath, set->path.c_str(), set->path.size() + 1);
  return TRUE;
}

BOOL SetupDiDestroyDeviceInfoList(HDEVINFO handle) {
  if (!kepra::posix::FindHandleAs<DeviceInfoSet>(handle)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return CloseHandle(handle);
}
