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

// Device directory: $KEPRA_DEVICE_DIR, else $XDG_RUNTIME_DIR/kepra, else /tmp/kepra-<uid>.
std::string DeviceDirectory();
// File name of a device interface: the class identifier in lower-case 8-4-4-4-12 form.
std::string InterfaceFileName(const GUID& guid);

}  // namespace kepra::posix
