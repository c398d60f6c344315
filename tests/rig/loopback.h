// The loopback transport: the library's transport (driver/transport.h) served by virtual
// cameras in this process, by direct call instead of through sockets or a driver. A program
// that links the library statically chooses it with kepra::driver::Use(&rig::loopback::
// Transport()) before its first open; the export fuzzer does, so that a run makes millions
// of calls rather than thousands.
//
// It follows the socket transport's errors: an unknown path is ERROR_FILE_NOT_FOUND, a null
// buffer with a length ERROR_NOACCESS, an unknown handle ERROR_INVALID_HANDLE, and once the
// camera reports that it went away every request of the handle fails with
// ERROR_DEVICE_NOT_CONNECTED. Its lock objects are the system's named mutexes.
#pragma once

#include <cstdint>
#include <memory>

#include "camera.h"
#include "driver/transport.h"

namespace rig::loopback {

const kepra::driver::Transport& Transport();

// Makes `camera` the present interface of its device index (replacing an earlier one).
void Attach(std::shared_ptr<vcam::Camera> camera);

// Number of open loopback device handles (for leak checks).
std::size_t OpenHandles();

}  // namespace rig::loopback
