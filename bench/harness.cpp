#include "harness.h"

#include <dlfcn.h>
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <mutex>

#include "driver/ioctl.h"
#include "server.h"

namespace kb {

namespace io = kepra::driver;

namespace {
std::atomic<bool> failed{false};
}
void MarkFailed() { failed = true; }
bool Failed() { return failed; }

void Die(const std::string& why) {
  std::fprintf(stderr, "kepra_bench: %s\n", why.c_str());
  std::exit(2);
}

std::uint32_t Index() {
  const char* value = std::getenv("KEPRA_TEST_INDEX");
  const unsigned long index = value ? std::strtoul(value, nullptr, 10) : 7;
  return index < 35 ? static_cast<std::uint32_t>(index) : 7;
}

namespace {

struct World {
  std::string dir;
  std::unique_ptr<vcam::Server> server;
  std::shared_ptr<vcam::Camera> camera;
};

World& TheWorld() {
  static World* world = [] {
    auto* w = new World;
    char dir[] = "/tmp/kepra-bench-XXXXXX";
    if (!mkdtemp(dir)) Die("mkdtemp failed");
    w->dir = dir;
    // The library finds cameras in this directory; set before anything opens one.
    setenv("KEPRA_DEVICE_DIR", dir, 1);
    w->server = std::make_unique<vcam::Server>(w->dir);
    w->camera = w->server->Plug(Index());
    if (!w->camera) Die("cannot serve the virtual camera");
    std::atexit([] {
      World& w_exit = TheWorld();
      w_exit.server.reset();
      std::error_code ignored;
      std::filesystem::remove_all(w_exit.dir, ignored);
    });
    return w;
  }();
  return *world;
}

template <class T>
void Load(void* lib, const char* name, T& fn) {
  void* symbol = dlsym(lib, name);
  if (!symbol) Die(std::string("missing export ") + name);
  fn = reinterpret_cast<T>(symbol);
}

}  // namespace

vcam::Camera& Cam() { return *TheWorld().camera; }
std::string SocketPath() { return TheWorld().server->SocketPath(Index()); }

const Api& Lib() {
  static const Api api = [] {
    void* lib = dlopen(KEPRA_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
    if (!lib) Die(std::string("cannot load ") + KEPRA_LIBRARY_PATH + ": " + dlerror());
    Api a{};
    Load(lib, "kepra_OpenDevice", a.OpenDevice);
    Load(lib, "kepra_CloseDevice", a.CloseDevice);
    Load(lib, "kepra_GetExposure", a.GetExposure);
    Load(lib, "kepra_SetFrameTime", a.SetFrameTime);
    Load(lib, "kepra_GetFrameTime", a.GetFrameTime);
    Load(lib, "kepra_GetFrame8", a.GetFrame8);
    Load(lib, "kepra_GetFrame16", a.GetFrame16);
    Load(lib, "CxWriteSPIFlash", a.WriteSPIFlash);
    Load(lib, "kepra_UpdateFW", a.UpdateFW);
    return a;
  }();
  return api;
}

LibHandle::LibHandle() : h_(Lib().OpenDevice(Index())) {
  if (h_ == KEPRA_INVALID_HANDLE) Die("kepra_OpenDevice failed");
}
LibHandle::~LibHandle() { Lib().CloseDevice(h_); }

void StartWorld() { TheWorld(); }

Raw::Raw() {
  device_ = CreateFileA(SocketPath().c_str(), GENERIC_READ | GENERIC_WRITE,
                        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                        FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL, nullptr);
  if (device_ == INVALID_HANDLE_VALUE) Die("raw CreateFileA failed");
  char name[] = "vexol_00";
  name[6] = static_cast<char>('0' + Index() / 10);
  name[7] = static_cast<char>('0' + Index() % 10);
  mutex_ = CreateMutexA(nullptr, FALSE, name);
  if (!mutex_) Die("raw CreateMutexA failed");
}

Raw::~Raw() {
  CloseHandle(mutex_);
  CloseHandle(device_);
}

bool Raw::Send(const Request& request) {
  // Inputs are copied into a buffer of this channel first, as a caller building a request
  // would; the output buffer is reused.
  in_.assign(request.in.begin(), request.in.end());
  if (out_.size() < request.out_size) out_.resize(request.out_size);
  DWORD returned = 0;
  return DeviceIoControl(device_, request.code, in_.empty() ? nullptr : in_.data(),
                         static_cast<DWORD>(in_.size()), request.out_size ? out_.data() : nullptr,
                         request.out_size, &returned, nullptr) != FALSE;
}

bool Raw::Replay(const std::vector<Request>& requests, bool locked) {
  const std::size_t last = requests.size() - 1;
  for (std::size_t i = 0; i < requests.size(); ++i) {
    if (!Send(requests[i])) return false;
    if (locked && i == 0) {
      const DWORD wait = WaitForSingleObject(mutex_, 5000);
      if (wait != WAIT_OBJECT_0 && wait != WAIT_ABANDONED) return false;
    }
    if (locked && i == last && !ReleaseMutex(mutex_)) return false;
  }
  return true;
}

bool LockedShape(const std::vector<Request>& requests) {
  if (requests.size() < 2) return false;
  const auto count = std::count_if(requests.begin(), requests.end(), [](const Request& r) {
    return r.code == io::IOCTL_DEVICE_INDEX;
  });
  return count == 2 && requests.front().code == io::IOCTL_DEVICE_INDEX &&
         requests.back().code == io::IOCTL_DEVICE_INDEX;
}

// ---- Summary ----

namespace {
std::mutex rows_mutex;
std::vector<Row>& Rows() {
  static std::vector<Row> rows;
  return rows;
}
}  // namespace

void Report(const Row& row) {
  std::lock_guard lock(rows_mutex);
  for (auto& existing : Rows()) {
    if (existing.section == row.section && existing.figure == row.figure) {
      existing = row;
      return;
    }
  }
  Rows().push_back(row);
}

void PrintSummary() {
  std::lock_guard lock(rows_mutex);
  std::printf("\n%-8s | %-44s | %12s | %12s | %-6s | %7s | %-8s | %s\n", "Section", "Figure",
              "kepra", "floor", "unit", "ratio", "goal", "note");
  std::printf("%s\n", std::string(130, '-').c_str());
  for (const auto& row : Rows()) {
    const double ratio = row.floor != 0 ? row.value / row.floor : 0;
    std::printf("%-8s | %-44s | %12.3f | %12.3f | %-6s | %7.3f | %-8s | %s\n", row.section.c_str(),
                row.figure.c_str(), row.value, row.floor, row.unit.c_str(), ratio, row.goal.c_str(),
                row.note.c_str());
  }
  std::fflush(stdout);
}

}  // namespace kb
