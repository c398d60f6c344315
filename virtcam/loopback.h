// An in-process transport for the library's device files: CreateFileA and DeviceIoControl of
// a static library build, serving attached virtual cameras by direct call instead of over
// their sockets. It links in place of the socket transport (device_file.cpp)
// where a program wants every request without a system call, such as the export fuzzer.
//
// Discovery is unchanged: a camera is found where its socket is (a Server still plugs it);
// opening that path reaches the attached camera. Paths without an attached camera are not found.
#pragma once

#include <memory>
#include <string>

#include "camera.h"

namespace vcam::loopback {

// Routes opens of `path` to `camera` (replacing an earlier camera at that path).
void Attach(const std::string& path, std::shared_ptr<Camera> camera);

}  // namespace vcam::loopback
