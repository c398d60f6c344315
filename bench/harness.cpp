#include "harness.h"

#include <dlfcn.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <mutex>

#include "protocol/protocol.h"
#include "server.h"

namespace kb {

namespace io = kepra::protocol;

namespace {
std::atomic<bool> failed{false};
}
double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  const auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
  std::nth_element(values.begin(), middle, values.end());
  return *middle;
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
    Load(lib, "kepra_GetFrameEx16", a.GetFrameEx16);
    Load(lib, "kepra_GetFrameParams", a.GetFrameParams);
    Load(lib, "kepra_GetFrameRate", a.GetFrameRate);
    Load(lib, "kepra_SetFrameRate", a.SetFrameRate);
    Load(lib, "kepra_GetFrequency", a.GetFrequency);
    Load(lib, "kepra_SetFrequency", a.SetFrequency);
    Load(lib, "kepra_SetFrameParams", a.SetFrameParams);
    Load(lib, "kepra_OpenStream", a.OpenStream);
    Load(lib, "kepra_StartStream", a.StartStream);
    Load(lib, "kepra_NextFrame", a.NextFrame);
    Load(lib, "kepra_ReleaseFrame", a.ReleaseFrame);
    Load(lib, "kepra_StopStream", a.StopStream);
    Load(lib, "kepra_GetStreamStats", a.GetStreamStats);
    Load(lib, "kepra_CloseStream", a.CloseStream);
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
std::vector<Row> pending;  // rows of the runs of the benchmark in progress, oldest first
std::vector<std::vector<Row>> figures;  // reported rows, one list per figure, in first order

std::vector<Row>* Figure(const Row& row) {
  for (auto& list : figures) {
    if (list.front().section == row.section && list.front().figure == row.figure) return &list;
  }
  return nullptr;
}

// Keeps the rows of the last `runs` runs of each figure: the reported ones.
void Flush(std::size_t runs) {
  std::lock_guard lock(rows_mutex);
  std::vector<Row> seen;
  for (auto it = pending.rbegin(); it != pending.rend(); ++it) {
    const auto same = std::count_if(seen.begin(), seen.end(), [&](const Row& r) {
      return r.section == it->section && r.figure == it->figure;
    });
    if (static_cast<std::size_t>(same) >= runs) continue;
    seen.push_back(*it);
  }
  for (auto it = seen.rbegin(); it != seen.rend(); ++it) {
    if (auto* list = Figure(*it)) {
      list->push_back(*it);
    } else {
      figures.push_back({*it});
    }
  }
  pending.clear();
}

class Reporter : public benchmark::ConsoleReporter {
 public:
  Reporter() : ConsoleReporter(isatty(1) ? OO_ColorTabular : OO_Tabular) {}
  void ReportRuns(const std::vector<Run>& reports) override {
    std::size_t runs = 0;
    for (const auto& run : reports) {
      if (run.run_type == Run::RT_Iteration) ++runs;
    }
    // With aggregates only on display, the repetition count tells how many runs there were.
    if (runs == 0 && !reports.empty()) runs = static_cast<std::size_t>(reports.front().repetitions);
    Flush(runs);
    ConsoleReporter::ReportRuns(reports);
  }
};

double MedianOf(const std::vector<Row>& rows, double Row::*field) {
  std::vector<double> values;
  for (const auto& row : rows) values.push_back(row.*field);
  return Median(values);
}

}  // namespace

void Report(const Row& row) {
  std::lock_guard lock(rows_mutex);
  pending.push_back(row);
  if (pending.back().ratio == 0 && row.floor != 0) pending.back().ratio = row.value / row.floor;
}

std::unique_ptr<benchmark::BenchmarkReporter> MakeReporter() {
  return std::make_unique<Reporter>();
}

void PrintSummary() {
  std::lock_guard lock(rows_mutex);
  std::printf("\nSummary: medians over the reported runs (n) of each figure\n");
  std::printf("%-8s | %-56s | %10s | %10s | %-5s | %6s | %-7s | %2s | %s\n", "section", "figure",
              "kepra", "floor", "unit", "ratio", "goal", "n", "note");
  std::printf("%s\n", std::string(140, '-').c_str());
  for (const auto& rows : figures) {
    const Row& row = rows.back();
    std::printf("%-8s | %-56s | %10.3f | %10.3f | %-5s | %6.3f | %-7s | %2zu | %s\n",
                row.section.c_str(), row.figure.c_str(), MedianOf(rows, &Row::value),
                MedianOf(rows, &Row::floor), row.unit.c_str(), MedianOf(rows, &Row::ratio),
                row.goal.c_str(), rows.size(), row.note.c_str());
  }
  std::fflush(stdout);
}

}  // namespace kb
