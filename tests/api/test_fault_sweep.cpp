// Every request of every multi-request export failed in turn. For each export the request log
// of a successful run gives its N requests; then, for each position k of 1..N, a fresh camera
// fails the k-th request with a driver error, and another fresh camera is unplugged at it. The
// export must not crash, must fail unless the failing request is one it tolerates, must leave
// the right last error, must stop (only the documented cleanup may follow) and must leave the
// device lock free. A new export is covered by adding one row to Rows() (KEPRA_SWEEP_DUMP=1
// prints the request log each row learns).
//
// The sanitizer and Wine builds, many times slower, sweep a sample of each export's positions
// (KEPRA_SWEEP_SAMPLE per export, built in; 0 sweeps all), drawn from a seed the log prints;
// KEPRA_SWEEP_SEED=<seed> repeats a run's sample.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <random>
#include <set>
#include <string_view>
#include <thread>

#include "fixture.h"

#if !defined(_WIN32)
#include <dirent.h>
#include <unistd.h>
#endif

namespace kt {
namespace {

constexpr std::uint32_t kInjected = 0x1F;  // ERROR_GEN_FAILURE, as a driver would report it
constexpr std::uint32_t kNotConnected = 1167;
constexpr std::uint32_t kIndexRefused = 0xC000000D;

// ---- Reading requests --------------------------------------------------------------------

bool IsIndex(const vcam::LogEntry& e) { return e.code == io::IOCTL_DEVICE_INDEX; }
bool IsRegRead(const vcam::LogEntry& e, int reg) {
  return e.code == io::IOCTL_SENSOR_REG && e.in.size() == 2 && e.in[0] + 256 * e.in[1] == reg;
}
bool IsRegWrite(const vcam::LogEntry& e, int reg) {
  return e.code == io::IOCTL_SENSOR_REG && e.in.size() == 4 && e.in[0] + 256 * e.in[1] == reg;
}

// The frame-length update: a read of register 62, the timing snapshot (the block read and
// registers 57 and 73), a write of register 12. Its callers ignore its result, so a failure
// anywhere in it is tolerated. Lock bookkeeping in between is skipped.
bool InFrameLengthUpdate(const std::vector<vcam::LogEntry>& log, std::size_t k) {
  if (IsIndex(log[k])) return false;
  std::vector<const vcam::LogEntry*> work;  // work requests up to k, newest first
  for (std::size_t i = k + 1; i-- > 0 && work.size() < 5;) {
    if (!IsIndex(log[i])) work.push_back(&log[i]);
  }
  auto step = [](const vcam::LogEntry& e, std::size_t n) {
    switch (n) {
      case 0:
        return IsRegRead(e, 62);
      case 1:
        return e.code == io::IOCTL_SENSOR_REGS;
      case 2:
        return IsRegRead(e, 57);
      case 3:
        return IsRegRead(e, 73);
      default:
        return IsRegWrite(e, 12);
    }
  };
  // Request k is step n of the update when the n requests before it are steps 0..n-1.
  for (std::size_t n = 0; n < work.size(); ++n) {
    bool match = true;
    for (std::size_t j = 0; j <= n && match; ++j) match = step(*work[j], n - j);
    if (match) return true;
  }
  return false;
}

// A line that reports a failed operation on the way out ("CxReadSensorReg failed", "...)
// fail!", with or without the line feed some families end their texts with).
std::string Text(std::string line) {
  if (!line.empty() && line.back() == '\n') line.pop_back();
  return line;
}
bool IsFailureLine(const std::string& line) {
  const std::string text = Text(line);
  const auto ends = [&](std::string_view tail) {
    return text.size() > tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
  };
  return ends(" failed") || ends(" fail!");
}

// ---- The table ---------------------------------------------------------------------------

// Whether a failure of request k of the successful log leaves the export's result at 1.
using Tolerance = bool (*)(const std::vector<vcam::LogEntry>& log, std::size_t k);
// Whether a request may still follow a failed one: the export's documented cleanup.
using Cleanup = bool (*)(const vcam::LogEntry& failed, const vcam::LogEntry& later);

bool NoTolerance(const std::vector<vcam::LogEntry>&, std::size_t) { return false; }
bool NoCleanup(const vcam::LogEntry&, const vcam::LogEntry&) { return false; }

// The frame-time setter: after a failed register 4 write, register 11 is written once more.
// A failed write of register 11 with bit 3 set is ignored.
bool FrameTimeCleanup(const vcam::LogEntry& failed, const vcam::LogEntry& later) {
  return IsRegWrite(failed, 4) && IsRegWrite(later, 11);
}
bool FrameTimeTolerance(const std::vector<vcam::LogEntry>& log, std::size_t k) {
  return IsRegWrite(log[k], 11) && (log[k].in[2] & 0x08);
}
// Setting a rate ends with the frame-time setter and, when asked, a rate read whose first step
// is the frame-length update.
bool FrameRateTolerance(const std::vector<vcam::LogEntry>& log, std::size_t k) {
  return FrameTimeTolerance(log, k) || InFrameLengthUpdate(log, k);
}
// The strobe setter goes on without register 7 when it cannot be read.
bool StrobeTolerance(const std::vector<vcam::LogEntry>& log, std::size_t k) {
  return IsRegRead(log[k], 7);
}
// The frame-parameter setter runs the frame-length update whatever the driver said.
bool FrameParamsCleanup(const vcam::LogEntry& failed, const vcam::LogEntry&) {
  return failed.code == io::IOCTL_FRAME_PARAMS;
}
// The millisecond exposures go on with F = 0 when the frequency cannot be read, and fail at
// the end (without a last error of their own).
bool FrequencyGoesOn(const vcam::LogEntry& failed, const vcam::LogEntry&) {
  return failed.code == io::IOCTL_FREQUENCY;
}
// Last error documented for a driver error at request k; 0: the injected one.
using Documented = std::uint32_t (*)(const std::vector<vcam::LogEntry>& log, std::size_t k);
std::uint32_t Injected(const std::vector<vcam::LogEntry>&, std::size_t) { return 0; }
// Setting an exposure in milliseconds with F = 0 is refused as a zero exposure time (87); the
// read-back's frequency read behaves as in the getter.
std::uint32_t ZeroExposureTime(const std::vector<vcam::LogEntry>& log, std::size_t k) {
  for (std::size_t i = 0; i < k; ++i) {
    if (log[i].code == io::IOCTL_FREQUENCY) return 0;
  }
  return log[k].code == io::IOCTL_FREQUENCY ? 87 : 0;
}

struct Row {
  const char* name;
  std::function<std::uint32_t(KEPRA_HANDLE)> call;
  Tolerance tolerated = NoTolerance;
  Cleanup cleanup = NoCleanup;
  Documented documented = Injected;
  bool locked = true;  // the release after a failure also fails once the camera is gone
  // A family that reports request failures by its result and last error alone; only the
  // frame-length update it may run writes its own lines.
  bool quiet = false;
};

kepra_FrameParams SmallWindow() {
  kepra_FrameParams p{};
  p.X = 0;
  p.Y = 0;
  p.Width = 640;
  p.Height = 480;
  p.BitDepth = 10;
  p.BinX = 1;
  p.BinY = 1;
  return p;
}

std::string FirmwareFile() {
  static const std::string path = [] {
    auto file = std::filesystem::temp_directory_path() /
                ("kepra-sweep-fw-" + std::to_string(kIndex) + ".img");
    std::ofstream out(file, std::ios::binary);
    for (int i = 0; i < 300; ++i) out.put(static_cast<char>(i * 7));
    return file.string();
  }();
  return path;
}

// clang-format off
const std::vector<Row>& Rows() {
  static const std::vector<Row> rows = {
    {"ReadSensorReg", [](KEPRA_HANDLE h) { std::uint16_t v; return kepra_ReadSensorReg(h, 4, &v); }},
    {"WriteSensorReg", [](KEPRA_HANDLE h) { return kepra_WriteSensorReg(h, 14, 100); }},
    {"GetFrequency", [](KEPRA_HANDLE h) { std::uint32_t f; return kepra_GetFrequency(h, &f); }},
    {"SetFrequency", [](KEPRA_HANDLE h) { return kepra_SetFrequency(h, 48); }},
    {"GetFrequencyD", [](KEPRA_HANDLE h) { double f; return kepra_GetFrequencyD(h, &f); }},
    {"SetFrequencyD", [](KEPRA_HANDLE h) { return kepra_SetFrequencyD(h, 48.0); }},
    {"GetFrameTimeMinMax", [](KEPRA_HANDLE h) { std::uint32_t a, b; return kepra_GetFrameTimeMinMax(h, &a, &b); }},
    {"GetFrameTime", [](KEPRA_HANDLE h) { std::uint32_t t; return kepra_GetFrameTime(h, &t); }},
    {"SetFrameTime", [](KEPRA_HANDLE h) { return kepra_SetFrameTime(h, 200000); }, FrameTimeTolerance, FrameTimeCleanup},
    {"GetFrameRateMinMax", [](KEPRA_HANDLE h) { double a, b; return kepra_GetFrameRateMinMax(h, &a, &b); }},
    {"GetFrameRate", [](KEPRA_HANDLE h) { double r; return kepra_GetFrameRate(h, &r); }, InFrameLengthUpdate},
    {"SetFrameRate", [](KEPRA_HANDLE h) { return kepra_SetFrameRate(h, 10.0, nullptr); }, FrameTimeTolerance, FrameTimeCleanup},
    {"SetFrameRate+read-back", [](KEPRA_HANDLE h) { double r; return kepra_SetFrameRate(h, 10.0, &r); }, FrameRateTolerance, FrameTimeCleanup},
    {"SetMinFrameRate", [](KEPRA_HANDLE h) { return kepra_SetMinFrameRate(h); }, FrameTimeTolerance, FrameTimeCleanup},
    {"SetMaxFrameRate", [](KEPRA_HANDLE h) { return kepra_SetMaxFrameRate(h); }, FrameTimeTolerance, FrameTimeCleanup},
    {"GetExposureFramerateMax", [](KEPRA_HANDLE h) { std::uint32_t e; return kepra_GetExposureFramerateMax(h, &e); }},
    {"GetExposure", [](KEPRA_HANDLE h) { std::uint32_t e; return kepra_GetExposure(h, &e); }},
    {"SetExposure", [](KEPRA_HANDLE h) { return kepra_SetExposure(h, 3000); }, InFrameLengthUpdate},
    {"GetExposureMinMaxMs", [](KEPRA_HANDLE h) { double a, b; return kepra_GetExposureMinMaxMs(h, &a, &b); }, NoTolerance, FrequencyGoesOn},
    {"GetExposureFramerateMaxMs", [](KEPRA_HANDLE h) { double e; return kepra_GetExposureFramerateMaxMs(h, &e); }, NoTolerance, FrequencyGoesOn},
    {"GetExposureMs", [](KEPRA_HANDLE h) { double e; return kepra_GetExposureMs(h, &e); }, NoTolerance, FrequencyGoesOn},
    {"SetExposureMs", [](KEPRA_HANDLE h) { double e; return kepra_SetExposureMs(h, 80.0, &e); }, InFrameLengthUpdate, FrequencyGoesOn, ZeroExposureTime},
    {"GetExposureTimeMinMax", [](KEPRA_HANDLE h) { std::uint32_t a, b; return kepra_GetExposureTimeMinMax(h, &a, &b); }},
    {"GetExposureTimeFramerateMax", [](KEPRA_HANDLE h) { std::uint32_t e; return kepra_GetExposureTimeFramerateMax(h, &e); }},
    {"GetExposureTime", [](KEPRA_HANDLE h) { std::uint32_t e; return kepra_GetExposureTime(h, &e); }},
    {"SetExposureTime", [](KEPRA_HANDLE h) { return kepra_SetExposureTime(h, 4000000); }, InFrameLengthUpdate},
    {"GetGain", [](KEPRA_HANDLE h) { double a, d; return kepra_GetGain(h, &a, &d); }},
    {"SetGain", [](KEPRA_HANDLE h) { return kepra_SetGain(h, 2.0, 1.5); }},
    {"GetGainC", [](KEPRA_HANDLE h) { double a, b, c, d; return kepra_GetGainC(h, &a, &b, &c, &d); }},
    {"SetGainC", [](KEPRA_HANDLE h) { return kepra_SetGainC(h, 1.5, 1.25, 2.0, 0.5); }},
    {"GetReadoutMode", [](KEPRA_HANDLE h) { std::uint32_t m; return kepra_GetReadoutMode(h, &m); }},
    {"SetReadoutMode", [](KEPRA_HANDLE h) { return kepra_SetReadoutMode(h, 2); }},
    {.name = "GetHDR", .call = [](KEPRA_HANDLE h) { std::uint8_t v; return kepra_GetHDR(h, &v); }, .quiet = true},
    {.name = "SetHDR", .call = [](KEPRA_HANDLE h) { return kepra_SetHDR(h, 1); }, .quiet = true},
    {.name = "GetSnapshotParams", .call = [](KEPRA_HANDLE h) { std::uint32_t t; std::uint8_t i; return kepra_GetSnapshotParams(h, &t, &i); }, .quiet = true},
    {.name = "SetSnapshotParams", .call = [](KEPRA_HANDLE h) { return kepra_SetSnapshotParams(h, 250, 1); }, .quiet = true},
    {.name = "GetStrobeParams", .call = [](KEPRA_HANDLE h) { std::uint32_t m; std::uint8_t a, b, c; return kepra_GetStrobeParams(h, &m, &a, &b, &c); }, .quiet = true},
    {.name = "SetStrobeParams", .call = [](KEPRA_HANDLE h) { return kepra_SetStrobeParams(h, 2, 10, 20, 1); }, .tolerated = StrobeTolerance, .quiet = true},
    {.name = "GetEventsState", .call = [](KEPRA_HANDLE h) { std::uint8_t b; return kepra_GetEventsState(h, &b); }, .quiet = true},
    {.name = "SetEventsState", .call = [](KEPRA_HANDLE h) { return kepra_SetEventsState(h, 0x05, 0x0F); }, .quiet = true},
    {.name = "SetFrameParams", .call = [](KEPRA_HANDLE h) { const kepra_FrameParams p = SmallWindow(); return kepra_SetFrameParams(h, &p); }, .tolerated = InFrameLengthUpdate, .cleanup = FrameParamsCleanup, .quiet = true},
    {.name = "SetStreamMode", .call = [](KEPRA_HANDLE h) { return kepra_SetStreamMode(h, 1); }, .quiet = true},
    {.name = "GetCameraInfo", .call = [](KEPRA_HANDLE h) { kepra_CameraInfo i; return kepra_GetCameraInfo(h, &i); }},
    {.name = "GetCameraInfoEx", .call = [](KEPRA_HANDLE h) { kepra_CameraInfoEx i; return kepra_GetCameraInfoEx(h, &i); }},
    {.name = "CheckId", .call = [](KEPRA_HANDLE h) { std::uint8_t b[16]; const std::uint32_t n = sizeof b; return kepra_CheckId(h, b, &n); }, .quiet = true},
    {.name = "ReadFlash", .call = [](KEPRA_HANDLE h) { std::uint8_t b[300]; return kepra_ReadFlash(h, 200, b, sizeof b); }, .quiet = true},
    {.name = "WriteFlash", .call = [](KEPRA_HANDLE h) { const std::uint8_t b[40] = {1, 2, 3}; return kepra_WriteFlash(h, 250, b, sizeof b); }, .quiet = true},
    {.name = "CxReadSPIFlash", .call = [](KEPRA_HANDLE h) { std::uint8_t b[300]; return CxReadSPIFlash(h, KEPRA_USER_AREA_BASE + 200, b, sizeof b); }, .locked = false, .quiet = true},
    {.name = "CxWriteSPIFlash", .call = [](KEPRA_HANDLE h) { const std::uint8_t b[40] = {9, 8, 7}; return CxWriteSPIFlash(h, KEPRA_USER_AREA_BASE + 4090, b, sizeof b); }, .locked = false, .quiet = true},
    {.name = "UpdateFWFromFile", .call = [](KEPRA_HANDLE h) { return kepra_UpdateFWFromFile(h, FirmwareFile().c_str()); }, .quiet = true},
  };
  return rows;
}
// clang-format on

// ---- The sweep ---------------------------------------------------------------------------

#ifndef KEPRA_SWEEP_SAMPLE
#define KEPRA_SWEEP_SAMPLE 0
#endif

unsigned long EnvOr(const char* name, unsigned long fallback) {
  const char* value = std::getenv(name);
  return value && *value ? std::strtoul(value, nullptr, 0) : fallback;
}

// The positions 0..n-1 to sweep: all, or `per_export` of them drawn without repeats.
std::vector<std::size_t> Positions(std::size_t n, unsigned long per_export, std::mt19937& draw) {
  std::vector<std::size_t> all(n);
  for (std::size_t i = 0; i < n; ++i) all[i] = i;
  if (per_export == 0 || per_export >= n) return all;
  for (std::size_t i = 0; i < per_export; ++i) std::swap(all[i], all[i + draw() % (n - i)]);
  all.resize(per_export);
  std::sort(all.begin(), all.end());
  return all;
}

// What this process has open: on Linux its descriptors and what they refer to.
#if defined(_WIN32)
std::multiset<std::string> OpenDescriptors() { return {}; }  // the handle count is checked on Linux
#else
std::multiset<std::string> OpenDescriptors() {
  std::multiset<std::string> open;
  if (DIR* dir = opendir("/proc/self/fd")) {
    const int own = dirfd(dir);
    while (const dirent* entry = readdir(dir)) {
      if (entry->d_name[0] == '.' || std::atoi(entry->d_name) == own) continue;
      char target[256] = {};
      const std::string link = std::string("/proc/self/fd/") + entry->d_name;
      if (readlink(link.c_str(), target, sizeof target - 1) < 0) continue;
      // Sockets and pipes differ only by inode number; count them by kind.
      const std::string kind = target;
      open.insert(kind.starts_with("socket:") ? "socket"
                  : kind.starts_with("pipe:") ? "pipe"
                                              : kind);
    }
    closedir(dir);
  }
  return open;
}
#endif

// A call run on a thread of its own that stays alive, still owning whatever it failed to
// release, until `Finish` lets it end.
class Worker {
 public:
  Worker(const Row& row, KEPRA_HANDLE h)
      : thread_([this, &row, h] {
          kepra_SetLastError(kSentinel);
          const std::uint32_t r = row.call(h);
          const std::uint32_t e = kepra_GetLastError();
          std::unique_lock lock(mutex_);
          result_ = r;
          error_ = e;
          done_ = true;
          cv_.notify_all();
          cv_.wait(lock, [this] { return finish_; });
        }) {}
  ~Worker() { Finish(); }
  // Waits for the call; false if it took longer than 20 s (a hang).
  bool Wait(std::uint32_t* result, std::uint32_t* error) {
    std::unique_lock lock(mutex_);
    if (!cv_.wait_for(lock, std::chrono::seconds(20), [this] { return done_; })) return false;
    *result = result_;
    *error = error_;
    return true;
  }
  void Finish() {
    {
      std::lock_guard lock(mutex_);
      finish_ = true;
    }
    cv_.notify_all();
    if (thread_.joinable()) thread_.join();
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool done_ = false, finish_ = false;
  std::uint32_t result_ = 0, error_ = 0;
  std::thread thread_;
};

class FaultSweep : public ::testing::Test {
 protected:
  void TearDown() override { rig_.Unplug(kIndex); }

  std::shared_ptr<vcam::Camera> Fresh() {
    rig_.Unplug(kIndex);
    camera_ = rig_.Plug(kIndex);
    return camera_;
  }

  // Another thread takes the lock at once: a locked export on a second handle of a live camera
  // completes quickly.
  void ExpectLockFree(const std::string& where) {
    if (!camera_ || camera_->Unplugged()) Fresh();
    Handle second(kIndex);
    ASSERT_TRUE(second.ok()) << where;
    std::uint32_t frame_time = 0;
    std::uint32_t ok = 0;
    double took = 0;
    std::thread([&] {
      const double start = rig::NowMs();
      ok = kepra_GetFrameTime(second.get(), &frame_time);
      took = rig::NowMs() - start;
    }).join();
    EXPECT_EQ(ok, 1u) << where << ": lock not free";
    EXPECT_LT(took, 1000.0) << where << ": lock not free";
  }

  // And another process too.
  void ExpectLockFreeForProcess(const std::string& where) {
    rig::Child holder(
        {rig::HelperPath("kepra-test-lockholder"), std::to_string(kIndex), "hold-ms", "0"});
    ASSERT_TRUE(holder.started());
    const double start = rig::NowMs();
    EXPECT_TRUE(holder.WaitForLine("released", 4000)) << where;
    EXPECT_LT(rig::NowMs() - start, 3000.0) << where;
    EXPECT_EQ(holder.Wait(), 0) << where;
  }

  std::vector<vcam::LogEntry> Learn(const Row& row) {
    Fresh();
    Handle h(kIndex);
    EXPECT_TRUE(h.ok());
    camera_->ClearLog();
    rig_.DebugLines();
    Worker worker(row, h.get());
    std::uint32_t result = 0, error = 0;
    EXPECT_TRUE(worker.Wait(&result, &error)) << row.name << " hangs";
    EXPECT_EQ(result, 1u) << row.name << " fails without a fault (last error " << error << ")";
    EXPECT_EQ(rig_.DebugLines(), Lines{}) << row.name << " writes debug lines without a fault";
    worker.Finish();
    if (std::getenv("KEPRA_SWEEP_DUMP")) {
      std::printf("%s:", row.name);
      for (const auto& e : camera_->Log()) {
        std::printf(" %X", e.code & 0xFFFF);
        if (e.code == io::IOCTL_SENSOR_REG)
          std::printf("%s%d", e.in.size() == 4 ? "w" : "r", e.in[0]);
      }
      std::printf("\n");
    }
    return camera_->Log();
  }

  // Valid arguments and a failed request: only the short stack of "... failed" lines of the
  // operations it ended (or the documented refusal it turns into), none at all when the first
  // request, the lock's, failed, and from the quiet families only the lines of the frame-length
  // update they run; a failed register primitive is named first.
  static void ExpectDebugLines(const Row& row, const std::vector<vcam::LogEntry>& good,
                               std::size_t k, bool unplug, const Lines& lines,
                               const std::string& where) {
    if (k == 0) {
      EXPECT_EQ(lines, Lines{}) << where << ": debug lines when the lock failed";
      return;
    }
    // Once the camera is gone, the steps that go on after a tolerated failure fail as well,
    // each with its own stack.
    EXPECT_LE(lines.size(), unplug ? 8u : 4u) << where << ": more debug lines than failure stacks";
    const bool refusal = row.documented(good, k) != 0;
    // Of the quiet rows only the frame-parameter setter runs the frame-length update.
    if (row.quiet && row.tolerated != InFrameLengthUpdate) {
      EXPECT_EQ(lines, Lines{}) << where << ": debug lines from a family that writes none";
      return;
    }
    for (const std::string& line : lines) {
      if (row.quiet) {
        EXPECT_TRUE(line == "CxReadSensorReg failed" || line == "CxReadSensorRegs failed" ||
                    line == "CxGetFramerateRegs failed")
            << where << ": debug line \"" << line << "\" from a family that writes none";
      } else {
        EXPECT_TRUE(IsFailureLine(line) || (refusal && Text(line).ends_with(" is NULL")))
            << where << ": debug line \"" << line << "\"";
      }
    }
    if (lines.empty() || row.tolerated(good, k) || refusal) return;
    if (good[k].code == io::IOCTL_SENSOR_REG && good[k].in.size() == 2) {
      EXPECT_EQ(Text(lines.front()), "CxReadSensorReg failed") << where;
    } else if (good[k].code == io::IOCTL_SENSOR_REG && good[k].in.size() == 4) {
      EXPECT_EQ(Text(lines.front()), "CxWriteSensorReg failed") << where;
    }
  }

  // One position, one kind of fault.
  void Sweep(const Row& row, const std::vector<vcam::LogEntry>& good, std::size_t k, bool unplug) {
    const std::string where = std::string(row.name) + " request " + std::to_string(k + 1) + "/" +
                              std::to_string(good.size()) + (unplug ? " unplugged" : " failed");
    Fresh();
    Handle h(kIndex);
    ASSERT_TRUE(h.ok()) << where;
    camera_->ClearLog();
    vcam::Fault fault;
    fault.action = unplug ? vcam::Fault::Action::kUnplug : vcam::Fault::Action::kFail;
    fault.nth = k + 1;
    fault.error = kInjected;
    camera_->AddFault(fault);
    rig_.DebugLines();

    Worker worker(row, h.get());
    std::uint32_t result = 0, error = 0;
    ASSERT_TRUE(worker.Wait(&result, &error)) << where << ": hangs";
    const std::vector<vcam::LogEntry> log = camera_->Log();
    ExpectDebugLines(row, good, k, unplug, rig_.DebugLines(), where);
    ASSERT_GT(log.size(), k) << where;
    for (std::size_t i = 0; i < k; ++i) {
      ASSERT_EQ(log[i].code, good[i].code) << where << ": request " << i + 1 << " differs";
      ASSERT_EQ(log[i].in, good[i].in) << where << ": request " << i + 1 << " differs";
    }
    const vcam::LogEntry& failed = log[k];
    ASSERT_EQ(failed.code, good[k].code) << where;
    ASSERT_FALSE(failed.ok) << where << ": the fault did not hit";

    // A device-index request is either a lock's (the export stops, 0xC000000D) or a release's
    // (the work is done and the export succeeds).
    const bool index = IsIndex(failed);
    const bool final_release = index && k + 1 == good.size();
    // Once the camera is gone every later request fails as well, so a tolerated failure
    // leaves the result at 1 only when all that follows is tolerated too.
    bool release = final_release || row.tolerated(good, k);
    for (std::size_t j = k + 1; unplug && release && !final_release && j < good.size(); ++j) {
      release = IsIndex(good[j]) || row.tolerated(good, j);
    }
    if (index && !final_release && result == 1) release = true;
    // The release also fails when the camera is gone, so the lock stays with the calling
    // thread until it ends (an abandoned lock, taken at once by the next owner).
    const bool lock_kept = unplug || (index && release);

    if (release) {
      EXPECT_EQ(result, 1u) << where << ": a tolerated failure made it fail";
    } else {
      EXPECT_EQ(result, 0u) << where << ": succeeded although a request failed";
      std::uint32_t expected = kInjected;
      if (!unplug && row.documented(good, k)) expected = row.documented(good, k);
      if (unplug) expected = row.locked ? kIndexRefused : kNotConnected;
      if (index) expected = kIndexRefused;  // the lock, or the release after it
      EXPECT_EQ(error, expected) << where << ": last error";
      // Nothing but lock bookkeeping and the documented cleanup after the failed request.
      for (std::size_t i = k + 1; i < log.size(); ++i) {
        if (unplug) {
          EXPECT_FALSE(log[i].ok) << where << ": request served after the unplug";
        }
        EXPECT_TRUE(IsIndex(log[i]) || row.cleanup(failed, log[i]))
            << where << ": request " << i + 1 << " (code 0x" << std::hex << log[i].code
            << ") sent after the failure";
      }
    }
    if (!lock_kept) ExpectLockFree(where + " (owner alive)");
    worker.Finish();
    if (lock_kept) ExpectLockFree(where + " (owner ended)");
    ++swept_;
  }

  rig::Rig rig_;
  std::shared_ptr<vcam::Camera> camera_;
  int swept_ = 0;
};

TEST_F(FaultSweep, EveryRequestOfEveryMultiRequestExport) {
  // A handle open throughout, so the index's lock mutex stays open and descriptors can be
  // compared before and after.
  Fresh();
  Handle keeper(kIndex);
  ASSERT_TRUE(keeper.ok());
  // The library's debug channel opens with its first line and stays open: open it first.
  std::uint32_t unused;
  EXPECT_EQ(kepra_GetFrameTime(KEPRA_INVALID_HANDLE, &unused), 0u);
  EXPECT_EQ(rig_.DebugLines(), Lines{"H is not valid"});
  const std::multiset<std::string> descriptors = OpenDescriptors();
  const unsigned long per_export = EnvOr("KEPRA_SWEEP_SAMPLE", KEPRA_SWEEP_SAMPLE);
  const auto seed = static_cast<std::uint32_t>(EnvOr("KEPRA_SWEEP_SEED", std::random_device{}()));
  if (per_export != 0) {
    std::printf("fault sweep: %lu positions of each export, KEPRA_SWEEP_SEED=%u\n", per_export,
                seed);
  }
  std::mt19937 draw(seed);
  std::size_t positions = 0;
  const char* only = std::getenv("KEPRA_SWEEP_ONLY");  // one export's row, by name
  for (const Row& row : Rows()) {
    if (only && *only && row.name != std::string_view(only)) continue;
    const std::vector<vcam::LogEntry> good = Learn(row);
    ASSERT_GT(good.size(), 1u) << row.name << " is not a multi-request export";
    positions += good.size();
    for (std::size_t k : Positions(good.size(), per_export, draw)) {
      for (bool unplug : {false, true}) {
        Sweep(row, good, k, unplug);
        if (HasFatalFailure()) return;
      }
    }
    ExpectLockFreeForProcess(row.name);
  }
  Fresh();
  // Fewer is fine: the keeper's connection to an unplugged camera may have been dropped.
  const std::multiset<std::string> after = OpenDescriptors();
  for (const std::string& kind : std::set<std::string>(after.begin(), after.end())) {
    EXPECT_LE(after.count(kind), descriptors.count(kind)) << "leaked: " << kind;
  }
  std::printf(
      "fault sweep: %zu exports, %d of %zu request positions swept (driver error and "
      "unplug)\n",
      Rows().size(), swept_ / 2, positions);
  std::filesystem::remove(FirmwareFile());
}

}  // namespace
}  // namespace kt
