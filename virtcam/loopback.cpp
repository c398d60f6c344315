// Device files served by direct calls into attached cameras (see loopback.h). Errors follow
// the socket transport: a refused path is ERROR_FILE_NOT_FOUND, null buffers with lengths are
// ERROR_NOACCESS, and once the camera reports that it went away every request on the handle
// fails with ERROR_DEVICE_NOT_CONNECTED.
#include "loopback.h"

#include <atomic>
#include <map>
#include <mutex>
#include <span>

#include "platform/posix/handles.h"
#include "platform/posix/win32_posix.h"

namespace vcam::loopback {
namespace {

std::mutex g_mutex;
std::map<std::string, std::shared_ptr<Camera>>& Cameras() {
  static std::map<std::string, std::shared_ptr<Camera>> cameras;
  return cameras;
}

struct DeviceFile final : kepra::posix::Object {
  explicit DeviceFile(std::shared_ptr<Camera> c) : camera(std::move(c)) {}
  std::shared_ptr<Camera> camera;
  std::atomic<bool> gone{false};
  std::atomic<std::uint64_t> cancels{0};  // CancelIoEx calls so far
};

}  // namespace

void Attach(const std::string& path, std::shared_ptr<Camera> camera) {
  std::lock_guard lock(g_mutex);
  Cameras()[path] = std::move(camera);
}

}  // namespace vcam::loopback

using vcam::loopback::DeviceFile;

HANDLE CreateFileA(LPCSTR path, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD disposition, DWORD,
                   HANDLE) {
  return kepra::posix::OpenDeviceFile(path, disposition, [](LPCSTR p) {
    std::lock_guard lock(vcam::loopback::g_mutex);
    auto it = vcam::loopback::Cameras().find(p);
    if (it == vcam::loopback::Cameras().end()) {
      SetLastError(ERROR_FILE_NOT_FOUND);
      return std::shared_ptr<DeviceFile>();
    }
    return std::make_shared<DeviceFile>(it->second);
  });
}

BOOL DeviceIoControl(HANDLE handle, DWORD code, LPVOID in, DWORD in_size, LPVOID out,
                     DWORD out_size, LPDWORD bytes_returned, LPOVERLAPPED) {
  auto device = kepra::posix::BeginDeviceRequest<DeviceFile>(handle, in, in_size, out, out_size,
                                                             bytes_returned);
  if (!device) return FALSE;
  if (device->gone) {
    SetLastError(ERROR_DEVICE_NOT_CONNECTED);
    return FALSE;
  }
  // A cancel that comes while the request waits ends the wait.
  const std::uint64_t cancels = device->cancels.load();
  const vcam::Camera::Result result =
      device->camera->Serve(code, {static_cast<const std::uint8_t*>(in), in_size},
                            {static_cast<std::uint8_t*>(out), out_size},
                            [&device, cancels] { return device->cancels.load() != cancels; });
  if (result.disconnect) {
    device->gone = true;
    SetLastError(ERROR_DEVICE_NOT_CONNECTED);
    return FALSE;
  }
  if (!result.ok) {
    SetLastError(result.error);
    return FALSE;
  }
  if (bytes_returned) *bytes_returned = result.bytes;
  return TRUE;
}

BOOL CancelIoEx(HANDLE handle, LPOVERLAPPED) {
  auto device = kepra::posix::FindHandleAs<DeviceFile>(handle);
  if (!device) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  ++device->cancels;
  return TRUE;
}
