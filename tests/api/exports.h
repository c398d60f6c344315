// The exports that take a camera handle, one row each: how to call it, its argument checks in
// their order with the refusal each gets, whether it takes the device lock, which failures of
// its requests it tolerates, and optionally what a failed request must leave in the camera.
// The table drives the argument refusals and the fault sweep (test_exports.cpp) and the
// exports fuzzer (fuzz/fuzz_exports.cpp). A new export is one row.
//
// A row calls its export through Args, which supplies every argument by its position (slot):
// slot 0 is the handle. The tests supply good arguments, or make the slots of one check bad;
// the fuzzer supplies random ones.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "camera.h"
#include "kepra/kepra.h"
#include "protocol/protocol.h"

namespace kx {

namespace io = kepra::protocol;
using Log = std::vector<vcam::LogEntry>;

constexpr std::uint32_t kUntouched = 0x5EB7u;     // a last error the library never sets
constexpr std::uint32_t kAnyError = 0xFFFFFFFFu;  // the system's own: anything but kUntouched

class Args {
 public:
  virtual ~Args() = default;
  virtual KEPRA_HANDLE Handle(KEPRA_HANDLE good) = 0;
  // A pointer to `size` bytes (the row's own storage `good` when the slot is good).
  virtual void* Pointer(int slot, void* good, std::size_t size) = 0;
  // A pointer to `size` bytes the export reads: the row's own when the slot is good.
  virtual void* Record(int slot, void* good, std::size_t size) = 0;
  // The row's own storage, or null (a length the export reads, say).
  virtual void* Ref(int slot, void* good) = 0;
  virtual std::uint64_t Int(int slot, std::uint64_t good) = 0;
  // A byte count that sizes a buffer passed in another slot.
  virtual std::uint32_t Length(int slot, std::uint32_t good) = 0;
  virtual double Real(int slot, double good) = 0;

  KEPRA_HANDLE H() { return Handle(good_handle); }
  template <typename T>
  T* Out(int slot, T* good) {
    return static_cast<T*>(Pointer(slot, good, sizeof(T)));
  }
  std::uint32_t U32(int slot, std::uint32_t good) {
    return static_cast<std::uint32_t>(Int(slot, good));
  }
  std::uint16_t U16(int slot, std::uint16_t good) {
    return static_cast<std::uint16_t>(Int(slot, good));
  }
  std::uint8_t U8(int slot, std::uint8_t good) {
    return static_cast<std::uint8_t>(Int(slot, good));
  }

  KEPRA_HANDLE good_handle = KEPRA_INVALID_HANDLE;
};

// One argument check: its slots made bad (the handle INVALID_HANDLE_VALUE, a pointer null, a
// value slot each of `values` in turn) must give result 0, this last error and this one debug
// line, and send nothing. No slots: the call is refused whatever its arguments.
struct Check {
  std::vector<int> slots;
  const char* line = nullptr;
  std::uint32_t error = KEPRA_ERROR_INVALID_PARAMETER;
  std::vector<std::vector<double>> values = {};  // per case, one value for each slot
  bool under_lock = false;                       // checked once the lock is taken
};

// ---- Which request failures an export tolerates ----------------------------------------

inline bool IsIndex(const vcam::LogEntry& e) { return e.code == io::IOCTL_DEVICE_INDEX; }
inline bool IsRegRead(const vcam::LogEntry& e, int reg) {
  return e.code == io::IOCTL_SENSOR_REG && e.in.size() == 2 && e.in[0] + 256 * e.in[1] == reg;
}
inline bool IsRegWrite(const vcam::LogEntry& e, int reg) {
  return e.code == io::IOCTL_SENSOR_REG && e.in.size() == 4 && e.in[0] + 256 * e.in[1] == reg;
}

// Whether a failure of request k of the successful log leaves the export's result at 1.
using Tolerance = bool (*)(const Log& log, std::size_t k);
// Whether a request may still follow a failed one: the export's documented cleanup.
using Cleanup = bool (*)(const vcam::LogEntry& failed, const vcam::LogEntry& later);
// Last error documented for a driver error at request k; 0: the injected one.
using Documented = std::uint32_t (*)(const Log& log, std::size_t k);
// What the camera must hold after a failure, given its flash before: empty when it does, else
// what is wrong.
using State = std::string (*)(vcam::Camera& camera, const std::vector<std::uint8_t>& before,
                              const Log& sent);

inline bool NoTolerance(const Log&, std::size_t) { return false; }
inline bool NoCleanup(const vcam::LogEntry&, const vcam::LogEntry&) { return false; }
inline std::uint32_t Injected(const Log&, std::size_t) { return 0; }

// The frame-length update: a read of register 62, the timing snapshot (the block read and
// registers 57 and 73), a write of register 12. Its callers ignore its result, so a failure
// anywhere in it is tolerated. Lock bookkeeping in between is skipped.
inline bool InFrameLengthUpdate(const Log& log, std::size_t k) {
  if (IsIndex(log[k])) return false;
  std::vector<int> steps;  // of the work requests up to k, newest first: their step, or -1
  for (std::size_t i = k + 1; i-- > 0 && steps.size() < 5;) {
    const vcam::LogEntry& e = log[i];
    if (IsIndex(e)) continue;
    steps.push_back(IsRegRead(e, 62)                  ? 0
                    : e.code == io::IOCTL_SENSOR_REGS ? 1
                    : IsRegRead(e, 57)                ? 2
                    : IsRegRead(e, 73)                ? 3
                    : IsRegWrite(e, 12)               ? 4
                                                      : -1);
  }
  // Request k is step n of the update when the n requests before it are steps 0..n-1.
  for (int n = 0; n < static_cast<int>(steps.size()); ++n) {
    bool match = true;
    for (int j = 0; j <= n && match; ++j) match = steps[j] == n - j;
    if (match) return true;
  }
  return false;
}
// The frame-time setter: after a failed register 4 write, register 11 is written once more.
// A failed write of register 11 with bit 3 set is ignored.
inline bool FrameTimeCleanup(const vcam::LogEntry& failed, const vcam::LogEntry& later) {
  return IsRegWrite(failed, 4) && IsRegWrite(later, 11);
}
inline bool FrameTimeTolerance(const Log& log, std::size_t k) {
  return IsRegWrite(log[k], 11) && (log[k].in[2] & 0x08);
}
// Setting a rate ends with the frame-time setter and, when asked, a rate read whose first step
// is the frame-length update.
inline bool FrameRateTolerance(const Log& log, std::size_t k) {
  return FrameTimeTolerance(log, k) || InFrameLengthUpdate(log, k);
}
// The strobe setter goes on without register 7 when it cannot be read.
inline bool StrobeTolerance(const Log& log, std::size_t k) { return IsRegRead(log[k], 7); }
// The frame-parameter setter runs the frame-length update whatever the driver said.
inline bool FrameParamsCleanup(const vcam::LogEntry& failed, const vcam::LogEntry&) {
  return failed.code == io::IOCTL_FRAME_PARAMS;
}
// The millisecond exposures go on with F = 0 when the frequency cannot be read, and fail at
// the end (without a last error of their own).
inline bool FrequencyGoesOn(const vcam::LogEntry& failed, const vcam::LogEntry&) {
  return failed.code == io::IOCTL_FREQUENCY;
}
// Setting an exposure in milliseconds with F = 0 is refused as a zero exposure time (87); the
// read-back's frequency read behaves as in the getter.
inline std::uint32_t ZeroExposureTime(const Log& log, std::size_t k) {
  for (std::size_t i = 0; i < k; ++i) {
    if (log[i].code == io::IOCTL_FREQUENCY) return 0;
  }
  return log[k].code == io::IOCTL_FREQUENCY ? 87 : 0;
}

// ---- What a failure leaves ---------------------------------------------------------------

// A flash write loses nothing but the sector it failed in: every sector it did not erase is
// as before, and of a sector it erased and programmed completely, the bytes outside the range
// (`base`, `length`) are as before.
template <std::uint32_t base, std::uint32_t length>
std::string FlashKept(vcam::Camera& camera, const std::vector<std::uint8_t>& before,
                      const Log& sent) {
  constexpr std::uint32_t kSector = 0x10000;
  std::vector<int> erased(32, 0), programmed(32, 0);  // 0: no, 1: yes, -1: failed
  for (const auto& e : sent) {
    if (e.code != io::IOCTL_SPI_ERASE_SECTOR && e.code != io::IOCTL_SPI_WRITE_PAGE) continue;
    const std::uint32_t n = e.in[0] | e.in[1] << 8 | e.in[2] << 16;
    if (e.code == io::IOCTL_SPI_ERASE_SECTOR && n < 32) erased[n] = e.ok ? 1 : -1;
    if (e.code == io::IOCTL_SPI_WRITE_PAGE && n / 256 < 32) {
      programmed[n / 256] += e.ok && programmed[n / 256] >= 0 ? 1 : -1000;
    }
  }
  const auto now = camera.Flash().Snapshot();
  for (std::uint32_t s = 0; s < 32; ++s) {
    const bool complete = erased[s] == 1 && programmed[s] == 256;
    if (erased[s] == 1 && !complete) continue;  // left erased or partly programmed
    for (std::uint32_t a = s * kSector; a < (s + 1) * kSector; ++a) {
      if (complete && a >= base && a < base + length) continue;
      if (now[a] != before[a]) {
        char text[80];
        std::snprintf(text, sizeof text, "flash byte %06X changed (sector %u %s)", a, s,
                      complete ? "rewritten" : "untouched");
        return text;
      }
    }
  }
  return "";
}

// ---- The table ---------------------------------------------------------------------------

struct Row {
  const char* name;
  std::uint32_t (*call)(Args& a);
  std::vector<Check> checks;
  bool locked = true;  // takes the device lock
  Tolerance tolerated = NoTolerance;
  Cleanup cleanup = NoCleanup;
  Documented documented = Injected;
  State state = nullptr;
  // A family that reports request failures by its result and last error alone; only the
  // frame-length update it may run writes its own lines.
  bool quiet = false;
  int sweep = -1;       // request positions the fault sweep tries: -1 all, 0 none (sends nothing)
  bool pauses = false;  // holds the lock for tens of milliseconds
  bool writes_when_refused = false;  // stores a result even when it refuses
};

inline std::string FirmwareFile() {
  static const std::string path = [] {
    const char* index = std::getenv("KEPRA_TEST_INDEX");
    auto file = std::filesystem::temp_directory_path() /
                ("kepra-exports-fw-" + std::string(index ? index : "x") + ".img");
    std::ofstream out(file, std::ios::binary);
    for (int i = 0; i < 300; ++i) out.put(static_cast<char>(i * 7));
    return file.string();
  }();
  return path;
}

constexpr std::uint32_t kHandle = KEPRA_ERROR_INVALID_HANDLE;
constexpr std::uint32_t kAddress = KEPRA_ERROR_INVALID_ADDRESS;
constexpr std::uint32_t kLockHandle = KEPRA_STATUS_INVALID_HANDLE;
inline const Check kValid{{0}, "H is not valid"};  // the handle check of the timing families
inline const Check kHandle6{{0}, nullptr, kHandle};
inline Check Null(int slot, const char* line = nullptr, std::uint32_t error = kAddress) {
  return Check{{slot}, line, error};
}

// clang-format off
inline const std::vector<Row>& Rows() {
  static const std::vector<Row> rows = {
    // ---- registers and the clock
    {"ReadSensorReg", [](Args& a) { std::uint16_t v; return kepra_ReadSensorReg(a.H(), a.U32(1, 4), a.Out(2, &v)); },
     {{{0}}}},
    {"WriteSensorReg", [](Args& a) { return kepra_WriteSensorReg(a.H(), a.U32(1, 14), a.U32(2, 100)); },
     {{{0}}}},
    {"GetFrequency", [](Args& a) { std::uint32_t f; return kepra_GetFrequency(a.H(), a.Out(1, &f)); },
     {{{0}}, Null(1, "FrequencyMHz is NULL", 87)}},
    {"SetFrequency", [](Args& a) { return kepra_SetFrequency(a.H(), a.U32(1, 48)); },
     {{{0}}, {{1}, nullptr, 87, {{0}, {3}, {115}, {0x10004}, {0xFFFFFFFF}}}}},
    {.name = "GetFrequencyD", .call = [](Args& a) { double f; return kepra_GetFrequencyD(a.H(), a.Out(1, &f)); },
     .checks = {{{0}}, Null(1, "FrequencyMHz is NULL", 87)}, .writes_when_refused = true},
    {"SetFrequencyD", [](Args& a) { return kepra_SetFrequencyD(a.H(), a.Real(1, 48.0)); },
     {{{0}}}},
    // ---- frame timing
    {"GetFrameTimeMinMax", [](Args& a) { std::uint32_t x, y; return kepra_GetFrameTimeMinMax(a.H(), a.Out(1, &x), a.Out(2, &y)); },
     {kValid, Null(1, "FrameTimeMin is NULL", 87), Null(2, "FrameTimeMax is NULL", 87)}},
    {"GetFrameTime", [](Args& a) { std::uint32_t t; return kepra_GetFrameTime(a.H(), a.Out(1, &t)); },
     {kValid, Null(1, "Frametime is NULL", 87)}},
    {"SetFrameTime", [](Args& a) { return kepra_SetFrameTime(a.H(), a.U32(1, 200000)); },
     {kValid}, true, FrameTimeTolerance, FrameTimeCleanup},
    {"GetFrameRateMinMax", [](Args& a) { double x, y; return kepra_GetFrameRateMinMax(a.H(), a.Out(1, &x), a.Out(2, &y)); },
     {kValid, Null(1, "FrameRateMin is NULL", 87), Null(2, "FrameRateMax is NULL", 87)}},
    {"GetFrameRate", [](Args& a) { double r; return kepra_GetFrameRate(a.H(), a.Out(1, &r)); },
     {kValid, Null(1, "FrameRate is NULL", 87)}, true, InFrameLengthUpdate},
    {"SetFrameRate", [](Args& a) { return kepra_SetFrameRate(a.H(), a.Real(1, 10.0), nullptr); },
     {kValid}, true, FrameTimeTolerance, FrameTimeCleanup},
    {"SetFrameRate+read-back", [](Args& a) { double r; return kepra_SetFrameRate(a.H(), a.Real(1, 10.0), a.Out(2, &r)); },
     {kValid}, true, FrameRateTolerance, FrameTimeCleanup},
    {"SetMinFrameRate", [](Args& a) { return kepra_SetMinFrameRate(a.H()); },
     {kValid}, true, FrameTimeTolerance, FrameTimeCleanup},
    {"SetMaxFrameRate", [](Args& a) { return kepra_SetMaxFrameRate(a.H()); },
     {kValid}, true, FrameTimeTolerance, FrameTimeCleanup},
    // ---- exposure
    {"GetExposureMinMax", [](Args& a) { std::uint32_t x, y; return kepra_GetExposureMinMax(a.H(), a.Out(1, &x), a.Out(2, &y)); },
     {kValid, Null(1, "ExpMin is NULL", 87), Null(2, "ExpMax is NULL", 87)}, true, NoTolerance, NoCleanup, Injected, nullptr, false, 0},
    {"GetExposureFramerateMax", [](Args& a) { std::uint32_t e; return kepra_GetExposureFramerateMax(a.H(), a.Out(1, &e)); },
     {kValid, Null(1, "Exposure is NULL", 87)}},
    {"GetExposure", [](Args& a) { std::uint32_t e; return kepra_GetExposure(a.H(), a.Out(1, &e)); },
     {kValid, Null(1, "Exposure is NULL", 87)}},
    {"SetExposure", [](Args& a) { return kepra_SetExposure(a.H(), a.U32(1, 3000)); },
     {kValid}, true, InFrameLengthUpdate},
    {"GetExposureMinMaxMs", [](Args& a) { double x, y; return kepra_GetExposureMinMaxMs(a.H(), a.Out(1, &x), a.Out(2, &y)); },
     {kValid, {{1}, "ExpMin is NULL", 87, {}, true}, {{2}, "ExpMax is NULL", 87, {}, true}}, true, NoTolerance, FrequencyGoesOn},
    {"GetExposureFramerateMaxMs", [](Args& a) { double e; return kepra_GetExposureFramerateMaxMs(a.H(), a.Out(1, &e)); },
     {kValid, Null(1, "ExposureMs is NULL", 87)}, true, NoTolerance, FrequencyGoesOn},
    {"GetExposureMs", [](Args& a) { double e; return kepra_GetExposureMs(a.H(), a.Out(1, &e)); },
     {kValid, Null(1, "ExposureMs is NULL", 87)}, true, NoTolerance, FrequencyGoesOn},
    {.name = "SetExposureMs", .call = [](Args& a) { double e; return kepra_SetExposureMs(a.H(), a.Real(1, 80.0), a.Out(2, &e)); },
     .checks = {kValid, {{1}, "ExposureMs is not valid", 87, {{NAN}, {INFINITY}, {-INFINITY}, {-1.0}}}},
     .tolerated = InFrameLengthUpdate, .cleanup = FrequencyGoesOn, .documented = ZeroExposureTime, .pauses = true},
    {"GetExposureTimeMinMax", [](Args& a) { std::uint32_t x, y; return kepra_GetExposureTimeMinMax(a.H(), a.Out(1, &x), a.Out(2, &y)); },
     {kValid, Null(1, "ExpTimeMin is NULL", 87), Null(2, "ExpTimeMax is NULL", 87)}},
    {"GetExposureTimeFramerateMax", [](Args& a) { std::uint32_t e; return kepra_GetExposureTimeFramerateMax(a.H(), a.Out(1, &e)); },
     {kValid, Null(1, "ExposureTime is NULL", 87)}},
    {"GetExposureTime", [](Args& a) { std::uint32_t e; return kepra_GetExposureTime(a.H(), a.Out(1, &e)); },
     {kValid, Null(1, "ExposureTime is NULL", 87)}},
    {"SetExposureTime", [](Args& a) { return kepra_SetExposureTime(a.H(), a.U32(1, 4000000)); },
     {kValid}, true, InFrameLengthUpdate},
    // ---- gain
    {"GetGain", [](Args& a) { double x, y; return kepra_GetGain(a.H(), a.Out(1, &x), a.Out(2, &y)); },
     {kValid, Null(1, "AGain is NULL", 87), Null(2, "DGain is NULL", 87)}},
    {.name = "SetGain", .call = [](Args& a) { return kepra_SetGain(a.H(), a.Real(1, 2.0), a.Real(2, 1.5)); },
     .checks = {{{0}, nullptr, kLockHandle}}, .pauses = true},
    {"GetGainC", [](Args& a) { double w, x, y, z; return kepra_GetGainC(a.H(), a.Out(1, &w), a.Out(2, &x), a.Out(3, &y), a.Out(4, &z)); },
     {kValid, Null(1, "GB is NULL", 87), Null(2, "GR is NULL", 87), Null(3, "B is NULL", 87), Null(4, "R is NULL", 87)}},
    {"SetGainC", [](Args& a) { return kepra_SetGainC(a.H(), a.Real(1, 1.5), a.Real(2, 1.25), a.Real(3, 2.0), a.Real(4, 0.5)); },
     {kValid}},
    // ---- readout, snapshot, strobe, events
    {"GetReadoutMode", [](Args& a) { std::uint32_t m; return kepra_GetReadoutMode(a.H(), a.Out(1, &m)); },
     {kValid, Null(1, "Mode is NULL", 87)}},
    {"SetReadoutMode", [](Args& a) { return kepra_SetReadoutMode(a.H(), a.U32(1, 2)); },
     {kValid}},
    {.name = "GetHDR", .call = [](Args& a) { std::uint8_t v; return kepra_GetHDR(a.H(), a.Out(1, &v)); },
     .checks = {kValid, Null(1, "pHDR is NULL", 87)}, .quiet = true},
    {.name = "SetHDR", .call = [](Args& a) { return kepra_SetHDR(a.H(), a.U8(1, 1)); },
     .checks = {kValid}, .quiet = true},
    {.name = "GetSnapshotParams", .call = [](Args& a) { std::uint32_t t; std::uint8_t i; return kepra_GetSnapshotParams(a.H(), a.Out(1, &t), a.Out(2, &i)); },
     .checks = {kValid, Null(1, "TimeoutMs is NULL", 87), Null(2, "Inverted is NULL", 87)}, .quiet = true},
    {.name = "SetSnapshotParams", .call = [](Args& a) { return kepra_SetSnapshotParams(a.H(), a.U32(1, 250), a.U8(2, 1)); },
     .checks = {kValid}, .quiet = true},
    {.name = "GetStrobeParams", .call = [](Args& a) { std::uint32_t m; std::uint8_t x, y, z; return kepra_GetStrobeParams(a.H(), a.Out(1, &m), a.Out(2, &x), a.Out(3, &y), a.Out(4, &z)); },
     .checks = {kValid, Null(1, "StrobeMode is NULL", 87), Null(2, "StrobeOffDelay is NULL", 87), Null(3, "StrobeOnDelay is NULL", 87), Null(4, "Inverted is NULL", 87)}, .quiet = true},
    {.name = "SetStrobeParams", .call = [](Args& a) { return kepra_SetStrobeParams(a.H(), a.U32(1, 2), a.U8(2, 10), a.U8(3, 20), a.U8(4, 1)); },
     .checks = {kValid, {{1}, "StrobeMode is not valid", 87, {{4}, {0x100}, {0xFFFFFFFF}}}}, .tolerated = StrobeTolerance, .quiet = true},
    {.name = "GetEventsState", .call = [](Args& a) { std::uint8_t b; return kepra_GetEventsState(a.H(), a.Out(1, &b)); },
     .checks = {kValid, Null(1, "Bit is NULL", 87)}, .quiet = true},
    {.name = "SetEventsState", .call = [](Args& a) { return kepra_SetEventsState(a.H(), a.U8(1, 0x05), a.U8(2, 0x0F)); },
     .checks = {kValid}, .quiet = true},
    // ---- frame parameters, stream mode, LED
    {.name = "GetFrameParams", .call = [](Args& a) { kepra_FrameParams p; return kepra_GetFrameParams(a.H(), a.Out(1, &p)); },
     .checks = {{{0}, nullptr, kAnyError}}, .locked = false, .quiet = true},
    {.name = "SetFrameParams", .call = [](Args& a) { kepra_FrameParams p{}; p.Width = 640; p.Height = 480; p.BitDepth = 10; p.BinX = p.BinY = 1; return kepra_SetFrameParams(a.H(), a.Out(1, &p)); },
     .checks = {{{0}, nullptr, kLockHandle}}, .tolerated = InFrameLengthUpdate, .cleanup = FrameParamsCleanup, .quiet = true},
    {.name = "GetStreamMode", .call = [](Args& a) { std::uint32_t m; return kepra_GetStreamMode(a.H(), a.Out(1, &m)); },
     .checks = {{{0}}}, .locked = false, .quiet = true},
    {.name = "SetStreamMode", .call = [](Args& a) { return kepra_SetStreamMode(a.H(), a.U32(1, 1)); },
     .checks = {{{0}}}, .quiet = true},
    {.name = "SwitchFrontLED", .call = [](Args& a) { return kepra_SwitchFrontLED(a.H(), a.U8(1, 1)); },
     .checks = {kHandle6}, .locked = false, .quiet = true},
    // ---- frames
    {.name = "GetFrame16", .call = [](Args& a) { std::uint8_t b[512]; const std::uint32_t n = a.Length(2, sizeof b); return kepra_GetFrame16(a.H(), a.Pointer(1, b, n), n); },
     .checks = {kHandle6, Null(1)}, .locked = false, .quiet = true},
    {.name = "GetFrameEx16", .call = [](Args& a) { std::uint8_t b[512]; const std::uint32_t n = a.Length(2, sizeof b); return kepra_GetFrameEx16(a.H(), a.Pointer(1, b, n), n); },
     .checks = {kHandle6, Null(1)}, .locked = false, .quiet = true},
    {.name = "GetFrameAfterEx16", .call = [](Args& a) { std::uint8_t b[512]; const std::uint32_t n = a.Length(2, sizeof b); return kepra_GetFrameAfterEx16(a.H(), a.Pointer(1, b, n), n, a.U32(3, 0)); },
     .checks = {kHandle6, Null(1)}, .locked = false, .quiet = true},
    {.name = "GetFrame8", .call = [](Args& a) { std::uint8_t b[512]; const std::uint32_t n = a.Length(2, sizeof b); return kepra_GetFrame8(a.H(), a.Pointer(1, b, n), n); },
     .checks = {kHandle6, Null(1)}, .locked = false, .quiet = true},
    {.name = "GetFrameEx8", .call = [](Args& a) { std::uint8_t b[512]; const std::uint32_t n = a.Length(2, sizeof b); return kepra_GetFrameEx8(a.H(), a.Pointer(1, b, n), n); },
     .checks = {kHandle6, Null(1)}, .locked = false, .quiet = true},
    {.name = "GetFrameAfterEx8", .call = [](Args& a) { std::uint8_t b[512]; const std::uint32_t n = a.Length(2, sizeof b); return kepra_GetFrameAfterEx8(a.H(), a.Pointer(1, b, n), n, a.U32(3, 0)); },
     .checks = {kHandle6, Null(1)}, .locked = false, .quiet = true},
    {.name = "GetFrameFormat", .call = [](Args& a) { kepra_FrameFormat f{}; f.Size = a.U32(2, sizeof f); return kepra_GetFrameFormat(a.H(), static_cast<kepra_FrameFormat*>(a.Record(1, &f, sizeof f))); },
     .checks = {kHandle6, Null(1), {{2}, nullptr, 87, {{sizeof(kepra_FrameFormat) - 4}}}}, .quiet = true},
    // ---- bad pixels
    {.name = "GetFixBadPixels", .call = [](Args& a) { std::uint8_t x, y; return kepra_GetFixBadPixels(a.H(), a.Out(1, &x), a.Out(2, &y)); },
     .checks = {kHandle6}, .locked = false},
    {.name = "SetFixBadPixels", .call = [](Args& a) { std::uint8_t p; return kepra_SetFixBadPixels(a.H(), a.U8(1, 1), a.Out(2, &p)); },
     .checks = {kHandle6}, .locked = false},
    {.name = "GetMaxBadPixelCount", .call = [](Args& a) { std::uint16_t n; return kepra_GetMaxBadPixelCount(a.H(), a.Out(1, &n)); },
     .checks = {{{1}, nullptr, kUntouched}}, .locked = false, .sweep = 0, .writes_when_refused = true},
    {.name = "GetBadPixelCount", .call = [](Args& a) { std::uint16_t n; return kepra_GetBadPixelCount(a.H(), a.Out(1, &n)); },
     .checks = {kHandle6}, .locked = false},
    {.name = "GetBadPixelData", .call = [](Args& a) { kepra_BadPixel p[4]; std::uint16_t n; return kepra_GetBadPixelData(a.H(), static_cast<kepra_BadPixel*>(a.Pointer(1, p, sizeof p)), 4, a.Out(3, &n)); },
     .checks = {{{0}, "DeviceIoControl IOCTL_GET_BAD_PIXELS_DATA failed\n", kAnyError}}, .locked = false},
    {.name = "SetBadPixelData", .call = [](Args& a) { kepra_BadPixel p[2] = {{1, 2, 0}, {3, 4, 1}}; std::uint16_t n; return kepra_SetBadPixelData(a.H(), static_cast<kepra_BadPixel*>(a.Pointer(1, p, sizeof p)), 2, a.Out(3, &n)); },
     .checks = {{{0}, nullptr, kAnyError}}, .locked = false, .quiet = true},
    // ---- identity
    {.name = "GetIdentData", .call = [](Args& a) { kepra_IdentData d; return kepra_GetIdentData(a.H(), a.Out(1, &d)); },
     .checks = {kHandle6, Null(1)}, .locked = false},
    {.name = "SetIdentData", .call = [](Args& a) { kepra_IdentData d{}; d.Bytes[2] = '6'; return kepra_SetIdentData(a.H(), d); },
     .checks = {kHandle6}, .locked = false},
    {"GetCameraInfo", [](Args& a) { kepra_CameraInfo i; return kepra_GetCameraInfo(a.H(), a.Out(1, &i)); },
     {kHandle6, Null(1)}},
    {"GetCameraInfoEx", [](Args& a) { kepra_CameraInfoEx i; return kepra_GetCameraInfoEx(a.H(), a.Out(1, &i)); },
     {kHandle6, Null(1)}},
    {.name = "CheckId", .call = [](Args& a) { std::uint8_t b[16]; const std::uint32_t n = a.Length(3, sizeof b); return kepra_CheckId(a.H(), a.Pointer(1, b, n), static_cast<const std::uint32_t*>(a.Ref(2, const_cast<std::uint32_t*>(&n)))); },
     .checks = {kValid, Null(1, "CheckId is NULL", 87), Null(2, "CheckIdLen is NULL", 87)}, .quiet = true},
    {.name = "GetVIDPID", .call = [](Args& a) { std::uint16_t v, p; return kepra_GetVIDPID(a.H(), a.Out(1, &v), a.Out(2, &p)); },
     .checks = {kHandle6, Null(1), Null(2), {{}, nullptr, kUntouched}}, .locked = false, .sweep = 0},
    {.name = "SetVIDPID", .call = [](Args& a) { return kepra_SetVIDPID(a.H(), a.U16(1, 0x04B4), a.U16(2, 0x00F3)); },
     .checks = {kHandle6, {{1}, nullptr, kAddress, {{0}}}, {{2}, nullptr, kAddress, {{0}}}, {{}, nullptr, kUntouched}}, .locked = false, .sweep = 0},
    // ---- versions and diagnostics
    {.name = "GetDriverVer", .call = [](Args& a) { std::uint8_t x, y; std::uint16_t b; std::uint32_t s; return kepra_GetDriverVer(a.H(), a.Out(1, &x), a.Out(2, &y), a.Out(3, &b), a.Out(4, &s)); },
     .checks = {kHandle6, Null(1), Null(2), Null(3)}, .locked = false, .quiet = true},
    {.name = "GetUsbSpeed", .call = [](Args& a) { std::uint32_t s, d; return kepra_GetUsbSpeed(a.H(), a.Out(1, &s), a.Out(2, &d)); },
     .checks = {kHandle6, Null(1)}, .locked = false, .quiet = true},
    {.name = "DeviceReset", .call = [](Args& a) { return kepra_DeviceReset(a.H()); },
     .checks = {kHandle6}, .locked = false, .quiet = true},
    {.name = "GetDrvLogMsg", .call = [](Args& a) { char t[64]; std::uint32_t r; const std::uint32_t n = a.Length(2, sizeof t); return kepra_GetDrvLogMsg(a.H(), static_cast<char*>(a.Pointer(1, t, n)), n, a.Out(3, &r)); },
     .checks = {{{2}, nullptr, KEPRA_ERROR_INSUFFICIENT_BUFFER, {{20}, {0}}}, kHandle6}, .locked = false, .quiet = true},
    {.name = "GetFWVersion", .call = [](Args& a) { std::uint16_t v[4]; std::uint8_t v5; return kepra_GetFWVersion(a.H(), a.Out(1, &v[0]), a.Out(2, &v[1]), a.Out(3, &v[2]), a.Out(4, &v[3]), a.Out(5, &v5)); },
     .checks = {kHandle6, Null(1), Null(2), Null(5)}, .locked = false, .quiet = true},
    // ---- flash and firmware
    // The three sector writers share one sector-write operation: CxWriteSPIFlash is swept at
    // every request, the user-area and firmware writers at a sample (their first requests always).
    {.name = "ReadFlash", .call = [](Args& a) { std::uint8_t b[300]; const std::uint32_t n = a.Length(3, sizeof b); return kepra_ReadFlash(a.H(), a.U32(1, 200), a.Pointer(2, b, n), n); },
     .checks = {kHandle6, Null(2), {{1, 3}, nullptr, 87, {{0, 0}, {0, 0xA0001}, {0xA0000, 1}, {0x9FFFF, 2}, {0xFFFFFFFF, 1}, {0x50000, 0x50001}}}}, .quiet = true},
    {.name = "WriteFlash", .call = [](Args& a) { const std::uint8_t b[40] = {1, 2, 3}; const std::uint32_t n = a.Length(3, sizeof b); return kepra_WriteFlash(a.H(), a.U32(1, 250), a.Pointer(2, const_cast<std::uint8_t*>(b), n), n); },
     .checks = {kHandle6, Null(2), {{1, 3}, nullptr, 87, {{0, 0}, {0, 0xA0001}, {0xA0000, 1}, {0x9FFFF, 2}, {0xFFFFFFFF, 1}, {0x50000, 0x50001}}}},
     .state = FlashKept<KEPRA_USER_AREA_BASE + 250, 40>, .quiet = true, .sweep = 24},
    {.name = "CxReadSPIFlash", .call = [](Args& a) { std::uint8_t b[300]; const std::uint32_t n = a.Length(3, sizeof b); return CxReadSPIFlash(a.H(), a.U32(1, KEPRA_USER_AREA_BASE + 200), a.Pointer(2, b, n), n); },
     .checks = {kHandle6, Null(2), {{1, 3}, nullptr, 87, {{0, 0}, {0, 0x200001}, {0x1FFFFF, 2}, {0x200000, 1}, {0xFFFFFF00, 256}, {0xFFFFFFFF, 1}}}},
     .locked = false, .quiet = true},
    {.name = "CxWriteSPIFlash", .call = [](Args& a) { const std::uint8_t b[40] = {9, 8, 7}; const std::uint32_t n = a.Length(3, sizeof b); return CxWriteSPIFlash(a.H(), a.U32(1, KEPRA_USER_AREA_BASE + 4090), a.Pointer(2, const_cast<std::uint8_t*>(b), n), n); },
     .checks = {kHandle6, Null(2), {{3}, nullptr, 87, {{0}}}},
     .locked = false, .state = FlashKept<KEPRA_USER_AREA_BASE + 4090, 40>, .quiet = true},
    {.name = "UpdateFW", .call = [](Args& a) { return kepra_UpdateFW(a.H()); },
     .checks = {kHandle6}, .state = FlashKept<0, 0x29FC8>, .quiet = true, .sweep = 24},
    {.name = "UpdateFWFromFile", .call = [](Args& a) { return kepra_UpdateFWFromFile(a.H(), static_cast<const char*>(a.Record(1, const_cast<char*>(FirmwareFile().c_str()), FirmwareFile().size() + 1))); },
     .checks = {Null(1, nullptr, 87), {{0}, nullptr, kLockHandle}}, .state = FlashKept<0, 300>, .quiet = true, .sweep = 24},
    {.name = "PostTestFWError", .call = [](Args& a) { return kepra_PostTestFWError(a.H()); },
     .checks = {kHandle6}, .locked = false, .quiet = true},
  };
  return rows;
}
// clang-format on

}  // namespace kx
