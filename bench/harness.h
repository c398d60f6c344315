// Shared ground of the benchmarks: one virtual camera served in-process over the same socket
// transport the library uses, the library's exports loaded from libkepra.so, a raw channel to
// the same camera through the platform layer, and the summary table.
#pragma once

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "camera.h"
#include "kepra/kepra.h"
#include "platform/win32.h"

namespace kb {

// The library under test, loaded with dlopen so that every export call goes through the shared
// object (the raw side links the same code statically; a plain link could mix the two up).
struct Api {
  decltype(&kepra_OpenDevice) OpenDevice;
  decltype(&kepra_CloseDevice) CloseDevice;
  decltype(&kepra_GetExposure) GetExposure;
  decltype(&kepra_SetFrameTime) SetFrameTime;
  decltype(&kepra_GetFrameTime) GetFrameTime;
  decltype(&kepra_GetFrame8) GetFrame8;
  decltype(&kepra_GetFrame16) GetFrame16;
  decltype(&CxWriteSPIFlash) WriteSPIFlash;
  decltype(&kepra_UpdateFW) UpdateFW;
  decltype(&kepra_GetFrameEx16) GetFrameEx16;
  decltype(&kepra_GetFrameParams) GetFrameParams;
  decltype(&kepra_GetFrameRate) GetFrameRate;
  decltype(&kepra_SetFrameRate) SetFrameRate;
  decltype(&kepra_GetFrequency) GetFrequency;
  decltype(&kepra_SetFrequency) SetFrequency;
  decltype(&kepra_SetFrameParams) SetFrameParams;
  decltype(&kepra_OpenStream) OpenStream;
  decltype(&kepra_StartStream) StartStream;
  decltype(&kepra_NextFrame) NextFrame;
  decltype(&kepra_ReleaseFrame) ReleaseFrame;
  decltype(&kepra_StopStream) StopStream;
  decltype(&kepra_GetStreamStats) GetStreamStats;
  decltype(&kepra_CloseStream) CloseStream;
};
const Api& Lib();

// Device index of the camera: KEPRA_TEST_INDEX as for the test suites (lock mutexes are
// machine-wide), 7 when unset.
std::uint32_t Index();

// Serves the camera in a private device directory (KEPRA_DEVICE_DIR) until the process ends.
// A contender process started by the lock benchmarks inherits the directory instead.
void StartWorld();
// The camera served by StartWorld.
vcam::Camera& Cam();
std::string SocketPath();

// An open library handle to the camera.
class LibHandle {
 public:
  LibHandle();
  ~LibHandle();
  LibHandle(const LibHandle&) = delete;
  LibHandle& operator=(const LibHandle&) = delete;
  KEPRA_HANDLE get() const { return h_; }

 private:
  KEPRA_HANDLE h_;
};

// One request as the camera saw it, to be sent again raw.
struct Request {
  std::uint32_t code;
  std::vector<std::uint8_t> in;
  std::uint32_t out_size;
};

// The requests one call makes, taken from the camera's request log. Aborts the run when the
// call fails, so that no figure is measured on an error path.
template <class F>
std::vector<Request> Record(F&& call);

// The raw channel: a device handle from the platform's CreateFileA on the camera's socket and
// the camera's named lock mutex, with no library code in between.
class Raw {
 public:
  Raw();
  ~Raw();
  Raw(const Raw&) = delete;
  Raw& operator=(const Raw&) = delete;
  HANDLE device() const { return device_; }
  HANDLE mutex() const { return mutex_; }

  // Sends the requests one after another. With `locked`, the mutex is waited for after the
  // first (device-index) request and released after the last, as the device lock does.
  bool Replay(const std::vector<Request>& requests, bool locked);
  bool Send(const Request& request);

 private:
  HANDLE device_;
  HANDLE mutex_;
  std::vector<std::uint8_t> in_, out_;
};

// Checks that a recorded locked call has the shape the raw side imitates: a device-index
// request first and last and none in between.
bool LockedShape(const std::vector<Request>& requests);

[[noreturn]] void Die(const std::string& why);

// Times `lib` and `raw` alternately (order swapped every iteration, so drift and cache effects
// fall on both alike); reports the library's time as the benchmark's and the medians of both
// sides as counters.
// `per_call_bytes` > 0 gives bytes per second instead of time per call.
using Clock = std::chrono::steady_clock;
struct Pair {
  double lib = 0;  // median microseconds per call, or MB/s with bytes
  double floor = 0;
  double ratio = 0;  // median of the ratios of calls timed side by side
};
template <class L, class R>
Pair Paired(benchmark::State& state, L&& lib, R&& raw, double per_call_bytes = 0);

double Median(std::vector<double> values);

// Set when any benchmark hit an error: the run then exits non-zero.
void MarkFailed();
bool Failed();

// The second process of the contended-lock benchmark: loops on the camera's lock through the
// library until SIGTERM.
int RunContender();

// ---- Summary table, printed by main after the run ----
struct Row {
  std::string section;
  std::string figure;
  double value;
  double floor;
  std::string unit;  // of value and floor
  std::string goal;  // e.g. "<= 1.05"
  std::string note;
  double ratio = 0;  // 0: value / floor
};
// Called by a benchmark at the end of each of its runs. Google Benchmark runs a function a few
// times to find its iteration count before the runs it reports; the reporter below keeps only
// the rows of reported runs, one per repetition, and the summary gives their medians.
void Report(const Row& row);
// The console reporter, also collecting the rows of every reported run.
std::unique_ptr<benchmark::BenchmarkReporter> MakeReporter();
void PrintSummary();

// ---- template definitions ----

template <class F>
std::vector<Request> Record(F&& call) {
  vcam::Camera& camera = Cam();
  camera.ClearLog();
  camera.EnableLog(true);
  const bool ok = call();
  camera.EnableLog(false);
  std::vector<Request> requests;
  for (const auto& entry : camera.Log()) requests.push_back({entry.code, entry.in, entry.out_size});
  camera.ClearLog();
  if (!ok) Die("the recorded call failed");
  return requests;
}

template <class L, class R>
Pair Paired(benchmark::State& state, L&& lib, R&& raw, double per_call_bytes) {
  std::vector<double> lib_s, raw_s, ratios;
  std::int64_t n = 0;
  for (auto _ : state) {
    const bool lib_first = (n & 1) == 0;
    double t_lib = 0, t_raw = 0;
    for (int k = 0; k < 2; ++k) {
      const bool do_lib = (k == 0) == lib_first;
      const auto t0 = Clock::now();
      const bool ok = do_lib ? lib() : raw();
      const double dt = std::chrono::duration<double>(Clock::now() - t0).count();
      if (!ok) {
        state.SkipWithError(do_lib ? "library call failed" : "raw request failed");
        MarkFailed();
        return {};
      }
      (do_lib ? t_lib : t_raw) = dt;
    }
    state.SetIterationTime(t_lib);
    lib_s.push_back(t_lib);
    raw_s.push_back(t_raw);
    ratios.push_back(per_call_bytes > 0 ? t_raw / t_lib : t_lib / t_raw);
    ++n;
  }
  if (n == 0) return {};
  // Medians: the machine may be shared, and a few calls delayed by other work would otherwise
  // decide the figure. The ratio is taken pair by pair, between calls made back to back under
  // the same load.
  const double lib_median = Median(lib_s), raw_median = Median(raw_s);
  Pair pair;
  pair.ratio = Median(ratios);
  if (per_call_bytes > 0) {
    pair.lib = per_call_bytes / lib_median / 1e6;
    pair.floor = per_call_bytes / raw_median / 1e6;
    state.counters["lib_MBps"] = pair.lib;
    state.counters["floor_MBps"] = pair.floor;
    state.SetBytesProcessed(static_cast<std::int64_t>(per_call_bytes * static_cast<double>(n)));
  } else {
    pair.lib = lib_median * 1e6;
    pair.floor = raw_median * 1e6;
    state.counters["lib_us"] = pair.lib;
    state.counters["floor_us"] = pair.floor;
  }
  state.counters["ratio"] = pair.ratio;
  return pair;
}

}  // namespace kb
