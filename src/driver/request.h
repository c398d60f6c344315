// Requests to the camera driver. Every request is synchronous: it is complete when the call
// returns. On failure the last error is the one the system left.
#pragma once

#include <cstdint>

#include "platform/win32.h"

namespace kepra::driver {

// Sends one control request. `returned`, when given, receives the bytes the driver wrote.
bool Request(HANDLE h, std::uint32_t code, const void* in, std::uint32_t in_size, void* out,
             std::uint32_t out_size, std::uint32_t* returned = nullptr);

// The device index the driver reports for an open handle.
bool QueryDeviceIndex(HANDLE h, std::uint32_t* index);

}  // namespace kepra::driver
