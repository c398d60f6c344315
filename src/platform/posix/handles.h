// Process-wide handle table of the POSIX layer. Objects are reference counted so that a
// handle closed by one thread while another still uses it stays valid for that use.
#pragma once

#include <memory>
#include <string>

#include "platform/posix/win32_posix.h"

namespace kepra::posix {

struct Object {
  virtual ~Object() = default;
};

// Registers an object and returns its new handle (never null, never INVALID_HANDLE_VALUE).
HANDLE AddHandle(std::shared_ptr<Object> object);
// Looks a handle up; null when unknown (closed, stale, made up).
std::shared_ptr<Object> FindHandle(HANDLE handle);
// Removes a handle; false when unknown.
bool RemoveHandle(HANDLE handle);
// Number of live handles (for leak checks in tests).
std::size_t HandleCount();

template <typename T>
std::shared_ptr<T> FindHandleAs(HANDLE handle) {
  return std::dynamic_pointer_cast<T>(FindHandle(handle));
}

// CreateFileA of every device transport: refuses anything but opening an existing path
// (ERROR_INVALID_PARAMETER), lets `open` make the device object (null: refused, with the last
// error set) and registers it.
template <typename Open>
HANDLE OpenDeviceFile(LPCSTR path, DWORD disposition, Open open) {
  if (!path || disposition != OPEN_EXISTING) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  std::shared_ptr<Object> device = open(path);
  if (!device) return INVALID_HANDLE_VALUE;
  HANDLE handle = AddHandle(std::move(device));
  if (!handle) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return INVALID_HANDLE_VALUE;
  }
  return handle;
}

// The start of DeviceIoControl in every device transport: clears *bytes_returned, finds the
// handle's device object and refuses a null buffer with a length (ERROR_NOACCESS). Null, with
// the last error set, when the request must not go out.
template <typename Device>
std::shared_ptr<Device> BeginDeviceRequest(HANDLE handle, LPCVOID in, DWORD in_size, LPCVOID out,
                                           DWORD out_size, LPDWORD bytes_returned) {
  if (bytes_returned) *bytes_returned = 0;
  auto device = FindHandleAs<Device>(handle);
  if (!device) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  if ((!in && in_size) || (!out && out_size)) {
    SetLastError(ERROR_NOACCESS);
    return nullptr;
  }
  return device;
}

// Device directory: $KEPRA_DEVICE_DIR, else $XDG_RUNTIME_DIR/kepra, else /tmp/kepra-<uid>.
std::string DeviceDirectory();
// File name of a device interface: the class identifier in lower-case 8-4-4-4-12 form.
std::string InterfaceFileName(const GUID& guid);

}  // namespace kepra::posix
