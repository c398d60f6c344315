// Device access: discovery, the per-camera device lock, debug lines.
#pragma once

#include <cstdint>

#include "platform/win32.h"

namespace kepra::device {

constexpr std::uint32_t kMaxDevices = 35;
constexpr DWORD kLockTimeoutMs = 5000;
constexpr DWORD kStatusInvalidHandle = 0xC0000008;     // lock given INVALID_HANDLE_VALUE
constexpr DWORD kStatusInvalidParameter = 0xC000000D;  // driver refused the index request
constexpr std::size_t kDevicePathSize = 256;

// The library's interface class; the camera of index i is found under the class whose last
// byte is i.
GUID InterfaceClass(std::uint32_t index);

// Lock mutex name of an index: "vexol_" and the index's two decimal digits.
void LockMutexName(std::uint32_t index, char (&name)[9]);

// Process-wide tables, one slot per device index, zero at load; CxOpenDeviceMutex and
// CxCloseDeviceMutex change them under a lock of their own. A slot's mutex is null while its
// open count is zero.
extern std::int32_t g_open_count[kMaxDevices];
extern HANDLE g_lock_mutex[kMaxDevices];

bool CxGetDevicePath(const GUID& interface_class, char (&path)[kDevicePathSize]);
bool CxOpenDeviceMutex(std::uint32_t index);
bool CxCloseDeviceMutex(HANDLE h);
bool CxLockDevice(HANDLE h);
bool CxUnlockDevice(HANDLE h) noexcept;

// Formats one debug line (at most 2047 characters; longer text is cut) and writes it to the
// debugger output.
void CxDebugPrint(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// Holds the device lock of a camera for a scope; released on every path out of it.
class DeviceLock {
 public:
  explicit DeviceLock(HANDLE h) : h_(h), held_(CxLockDevice(h)) {}
  ~DeviceLock() {
    if (held_) CxUnlockDevice(h_);
  }
  DeviceLock(const DeviceLock&) = delete;
  DeviceLock& operator=(const DeviceLock&) = delete;
  explicit operator bool() const { return held_; }

 private:
  HANDLE h_;
  bool held_;
};

inline bool IsInvalid(HANDLE h) { return h == INVALID_HANDLE_VALUE; }

}  // namespace kepra::device
