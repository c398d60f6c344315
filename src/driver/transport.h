// The transport: how the library finds its cameras and talks to them. Everything the library
// does with a camera goes through one table of these operations; the platform's own is used
// unless a program (a test rig, a fuzzer) chooses another with Use() before its first open.
//
// Implementations:
// - the system transport (transport_system.cpp): on Windows the camera's kernel driver
//   through SetupDi, CreateFileA, DeviceIoControl, CancelIoEx and CloseHandle; elsewhere the
//   same names of the POSIX layer, whose device files are Unix sockets of the device directory
//   (platform/posix/device_file.cpp);
// - the test rig's loopback, which serves virtual cameras by direct call.
//
// A device handle belongs to the transport that opened it and is passed only to that
// transport's operations; INVALID_HANDLE_VALUE is never a device. Failures leave their reason
// in the calling thread's last error (GetLastError); an operation never throws.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/win32.h"

namespace kepra::driver {

struct Transport {
  // Writes the path of the first present interface of `interface_class` into path[0..size)
  // and returns true when it fitted with its NUL. Blocks briefly (a directory or registry
  // lookup); any thread. False: no such interface (last error as the lookup left it, for
  // example ERROR_NO_MORE_ITEMS) or a path of `size` characters or more.
  bool (*enumerate)(const GUID& interface_class, char* path, std::size_t size);

  // Opens a device path found by `enumerate` and returns its new handle, each call a
  // different one. Blocks briefly (connects); any thread. INVALID_HANDLE_VALUE on failure,
  // with the reason: ERROR_FILE_NOT_FOUND (nothing there), ERROR_ACCESS_DENIED,
  // ERROR_DEVICE_NOT_CONNECTED, ERROR_NOT_ENOUGH_MEMORY (out of memory or descriptors).
  HANDLE (*open)(const char* path);

  // Sends one control request and waits for its reply: `out` receives at most `out_size`
  // bytes, `*returned` (always written) their count. Blocks until the camera answers, which
  // for a frame can be as long as the camera waits for a trigger; cancel() ends the wait.
  // Any threads at once, on one handle or several: requests do not wait for each other.
  // False with the last error: the driver's or camera's refusal as it gave it;
  // ERROR_INVALID_HANDLE (not an open handle of this transport); ERROR_NOACCESS (a null
  // buffer with a length); ERROR_OPERATION_ABORTED (cancelled); ERROR_DEVICE_NOT_CONNECTED
  // (the camera is gone: this and every later request of the handle fail so); a shortage of
  // the process (ERROR_NOT_ENOUGH_MEMORY and the like) fails this request only.
  bool (*request)(HANDLE device, std::uint32_t code, const void* in, std::uint32_t in_size,
                  void* out, std::uint32_t out_size, std::uint32_t* returned);

  // Makes the requests in flight on `device` return at once with ERROR_OPERATION_ABORTED;
  // later requests go out as usual. Where the system also cancels by thread, `thread` (may be
  // null) is the thread waiting in such a request. Never blocks; any thread, also while
  // another thread waits in request(). False when nothing was in flight (ERROR_NOT_FOUND) or
  // the handle is unknown (ERROR_INVALID_HANDLE); a cancel may come too early or late to
  // meet the request, so callers repeat it until their request is out.
  bool (*cancel)(HANDLE device, HANDLE thread);

  // Closes a device handle. Requests still in flight on it on other threads finish as they
  // would have; the handle value is not valid afterwards. Never blocks on the camera; any
  // thread. False with ERROR_INVALID_HANDLE for a value that is not an open device handle
  // of this transport.
  bool (*close)(HANDLE device);

  // Creates, or opens when it exists, the named lock object `name` (a Win32 named mutex,
  // waited for with WaitForSingleObject, released with ReleaseMutex, closed with
  // CloseHandle). Any thread; does not wait for the lock. Null on failure, last error set.
  HANDLE (*open_lock)(const char* name);
};

// The platform's transport.
const Transport& SystemTransport();

// The transport in use: the one given to Use(), else the platform's.
const Transport& Current();

// Chooses the transport for the rest of the process (null: the platform's again). Handles
// opened through the previous one must be closed first.
void Use(const Transport* transport);

}  // namespace kepra::driver
