#include "loopback.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <span>
#include <string>

#include "device/device.h"

namespace rig::loopback {
namespace {

struct Device {
  std::shared_ptr<vcam::Camera> camera;
  std::atomic<bool> gone{false};
  std::atomic<std::uint64_t> cancels{0};  // cancel() calls so far
  std::atomic<int> in_flight{0};
};

struct State {
  std::mutex mutex;
  std::map<std::uint32_t, std::shared_ptr<vcam::Camera>> cameras;  // by device index
  std::map<HANDLE, std::shared_ptr<Device>> devices;
  std::uintptr_t next = 0x10000;  // handle values are never reused
};

State& GetState() {
  static State* state = new State;  // handles may be used during exit
  return *state;
}

constexpr char kPrefix[] = "loopback:";

std::shared_ptr<Device> Find(HANDLE h) {
  State& state = GetState();
  std::lock_guard lock(state.mutex);
  auto it = state.devices.find(h);
  if (it != state.devices.end()) return it->second;
  SetLastError(ERROR_INVALID_HANDLE);
  return nullptr;
}

bool Enumerate(const GUID& interface_class, char* path, std::size_t size) {
  const std::uint32_t index = interface_class.Data4[7];
  const GUID ours = kepra::device::InterfaceClass(index);
  State& state = GetState();
  std::lock_guard lock(state.mutex);
  auto it = state.cameras.find(index);
  if (std::memcmp(&ours, &interface_class, sizeof ours) != 0 || it == state.cameras.end() ||
      it->second->Unplugged()) {
    SetLastError(ERROR_NO_MORE_ITEMS);
    return false;
  }
  const int length = std::snprintf(path, size, "%s%02u", kPrefix, index);
  return length > 0 && static_cast<std::size_t>(length) < size;
}

HANDLE Open(const char* path) {
  const std::size_t prefix = sizeof kPrefix - 1;
  State& state = GetState();
  std::lock_guard lock(state.mutex);
  auto it = path && std::strncmp(path, kPrefix, prefix) == 0
                ? state.cameras.find(static_cast<std::uint32_t>(std::atoi(path + prefix)))
                : state.cameras.end();
  if (it == state.cameras.end() || it->second->Unplugged()) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  auto device = std::make_shared<Device>();
  device->camera = it->second;
  const auto h = reinterpret_cast<HANDLE>(state.next);
  state.next += 4;
  state.devices[h] = std::move(device);
  return h;
}

bool Request(HANDLE h, std::uint32_t code, const void* in, std::uint32_t in_size, void* out,
             std::uint32_t out_size, std::uint32_t* returned) {
  *returned = 0;
  auto device = Find(h);
  if (!device) return false;
  if ((!in && in_size) || (!out && out_size)) {
    SetLastError(ERROR_NOACCESS);
    return false;
  }
  if (device->gone) {
    SetLastError(ERROR_DEVICE_NOT_CONNECTED);
    return false;
  }
  // A cancel that comes while the request waits ends the wait.
  ++device->in_flight;
  const std::uint64_t cancels = device->cancels.load();
  const vcam::Camera::Result result =
      device->camera->Serve(code, {static_cast<const std::uint8_t*>(in), in_size},
                            {static_cast<std::uint8_t*>(out), out_size},
                            [&device, cancels] { return device->cancels.load() != cancels; });
  --device->in_flight;
  if (result.disconnect) {
    device->gone = true;
    SetLastError(ERROR_DEVICE_NOT_CONNECTED);
    return false;
  }
  if (!result.ok) {
    SetLastError(result.error);
    return false;
  }
  *returned = result.bytes;
  return true;
}

bool Cancel(HANDLE h, HANDLE) {
  auto device = Find(h);
  if (!device) return false;
  if (device->in_flight == 0) {
    SetLastError(ERROR_NOT_FOUND);
    return false;
  }
  ++device->cancels;
  return true;
}

bool Close(HANDLE h) {
  State& state = GetState();
  std::shared_ptr<Device> doomed;  // released outside the lock
  std::lock_guard lock(state.mutex);
  auto it = state.devices.find(h);
  if (it == state.devices.end()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  doomed = std::move(it->second);
  state.devices.erase(it);
  return true;
}

HANDLE OpenLock(const char* name) { return kepra::driver::SystemTransport().open_lock(name); }

constexpr kepra::driver::Transport kLoopback = {Enumerate, Open, Request, Cancel, Close, OpenLock};

}  // namespace

const kepra::driver::Transport& Transport() { return kLoopback; }

void Attach(std::shared_ptr<vcam::Camera> camera) {
  State& state = GetState();
  std::lock_guard lock(state.mutex);
  state.cameras[camera->index()] = std::move(camera);
}

std::size_t OpenHandles() {
  State& state = GetState();
  std::lock_guard lock(state.mutex);
  return state.devices.size();
}

}  // namespace rig::loopback
