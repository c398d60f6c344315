/*
 * kepra.hpp: a header-only C++17 layer over the kepra C API (kepra.h).
 *
 *   kepra::Camera camera(0);                      // opens camera 0, closes it when destroyed
 *   camera.SetExposure(kepra::Milliseconds(5));   // settings take and give units
 *   kepra::Stream stream(camera, {16, 8});        // 16-bit frames, 8 buffers
 *   for (const kepra::StreamFrame& frame : stream.Take(100))
 *     process(frame.Samples16());                 // a view; the buffer goes back after the step
 *
 * Every failed call throws kepra::Error with the last-error code, its text and the C function
 * that failed; nothing else is thrown except std::bad_alloc. Thread safety is that of the C
 * functions underneath (see kepra.h): a Camera may be used from several threads; a Stream's
 * Next, Stop and Stats may run on different threads; construction, moves and destruction of
 * one object must not overlap other calls on it.
 */
#ifndef KEPRA_KEPRA_HPP
#define KEPRA_KEPRA_HPP

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "kepra/kepra.h"

namespace kepra {

// A failed call: the thread's last-error value after it, its text and the function.
class Error : public std::runtime_error {
 public:
  Error(std::uint32_t code, const char* function)
      : std::runtime_error(std::string(function) + " failed: " + kepra_ErrorText(code)),
        code_(code),
        function_(function) {}
  std::uint32_t code() const noexcept { return code_; }
  const char* text() const noexcept { return kepra_ErrorText(code_); }
  const char* function() const noexcept { return function_; }

 private:
  std::uint32_t code_;
  const char* function_;
};

namespace detail {
inline void Check(std::uint32_t ok, const char* function) {
  if (!ok) throw Error(kepra_GetLastError(), function);
}
}  // namespace detail

// The version of the library that is running, and of this header.
struct Version {
  std::uint32_t major, minor, patch;
};
inline Version LibraryVersion() {
  const std::uint32_t v = kepra_GetLibraryVersion();
  return {v >> 16, (v >> 8) & 0xFFu, v & 0xFFu};
}
constexpr Version kHeaderVersion = {KEPRA_VERSION_MAJOR, KEPRA_VERSION_MINOR, KEPRA_VERSION_PATCH};

// A read-only view of contiguous values (std::span's shape, for C++17).
template <typename T>
class View {
 public:
  constexpr View() = default;
  constexpr View(const T* data, std::size_t size) : data_(data), size_(size) {}
  constexpr const T* data() const { return data_; }
  constexpr std::size_t size() const { return size_; }
  constexpr bool empty() const { return size_ == 0; }
  constexpr const T* begin() const { return data_; }
  constexpr const T* end() const { return data_ + size_; }
  constexpr const T& operator[](std::size_t i) const { return data_[i]; }

 private:
  const T* data_ = nullptr;
  std::size_t size_ = 0;
};

// Units of the settings.
using Milliseconds = std::chrono::duration<double, std::milli>;
struct FramesPerSecond {
  double value;
};
struct Megahertz {
  std::uint32_t value;
};
struct Gain {
  double analog, digital;  // factors
};
struct ColourGain {
  double gb, gr, b, r;  // factors
};
struct FirmwareVersion {
  std::uint16_t v1, v2, v3, v4;
  std::uint8_t v5;
};
struct DriverVersion {
  std::uint8_t major, minor;
  std::uint16_t build;
  bool negative;
};
struct Strobe {
  std::uint32_t mode;
  std::uint8_t off_delay, on_delay;
  bool inverted;
};
struct Snapshot {
  std::uint32_t timeout_ms;  // 0: wait without limit
  bool inverted;
};

enum class ColorFilter : std::uint32_t {
  kNone = KEPRA_CFA_NONE,
  kRggb = KEPRA_CFA_RGGB,
  kGrbg = KEPRA_CFA_GRBG,
  kGbrg = KEPRA_CFA_GBRG,
  kBggr = KEPRA_CFA_BGGR,
};

struct FrameFormat {
  std::uint32_t width, height, bit_depth;
  std::uint32_t bytes8, bytes16, bytes_ex8, bytes_ex16;
  ColorFilter color_filter;
};

// A frame that owns its samples (T: std::uint16_t for 16-bit frames, std::uint8_t for 8-bit),
// sized from the frame format; with its record when grabbed with one.
template <typename T>
struct Frame {
  std::uint32_t width = 0, height = 0, bit_depth = 0;
  std::vector<T> samples;
  std::optional<kepra_FrameInfo> info;
  View<T> Samples() const { return {samples.data(), samples.size()}; }
  const T& at(std::uint32_t x, std::uint32_t y) const {
    return samples.at(static_cast<std::size_t>(y) * width + x);
  }
};

// A captured frame's exposure from its record, without a device (0 for a record whose clock
// field is 0).
inline Milliseconds FrameExposure(const kepra_FrameInfo& info) {
  return Milliseconds(kepra_GetFrameExposureMs(&info));
}
// The index of the record's first event whose `mask` bits equal those of `bit`, or -1.
inline std::int32_t FindEvent(const kepra_FrameInfo& info, std::uint8_t bit, std::uint8_t mask) {
  return kepra_CheckEventsState(&info, bit, mask);
}

class Camera {
 public:
  explicit Camera(std::uint32_t index) : h_(kepra_OpenDevice(index)) {
    if (h_ == KEPRA_INVALID_HANDLE) throw Error(kepra_GetLastError(), "kepra_OpenDevice");
  }
  ~Camera() {
    if (h_ != KEPRA_INVALID_HANDLE) kepra_CloseDevice(h_);
  }
  Camera(Camera&& other) noexcept : h_(std::exchange(other.h_, KEPRA_INVALID_HANDLE)) {}
  Camera& operator=(Camera&& other) noexcept {
    if (this != &other) {
      if (h_ != KEPRA_INVALID_HANDLE) kepra_CloseDevice(h_);
      h_ = std::exchange(other.h_, KEPRA_INVALID_HANDLE);
    }
    return *this;
  }
  Camera(const Camera&) = delete;
  Camera& operator=(const Camera&) = delete;

  KEPRA_HANDLE handle() const { return h_; }

  // ---- Frames ----
  FrameFormat Format() const {
    kepra_FrameFormat f{};
    f.Size = sizeof f;
    detail::Check(kepra_GetFrameFormat(h_, &f), "kepra_GetFrameFormat");
    return {f.Width,   f.Height,   f.BitDepth,  f.Bytes8,
            f.Bytes16, f.BytesEx8, f.BytesEx16, static_cast<ColorFilter>(f.ColorFilter)};
  }
  // One frame of the current format; `with_info` puts its record beside it.
  Frame<std::uint16_t> Grab16(bool with_info = false) const {
    return Grab<std::uint16_t>(with_info, kepra_GetFrame16, kepra_GetFrameEx16, "kepra_GetFrame16",
                               "kepra_GetFrameEx16");
  }
  Frame<std::uint8_t> Grab8(bool with_info = false) const {
    return Grab<std::uint8_t>(with_info, kepra_GetFrame8, kepra_GetFrameEx8, "kepra_GetFrame8",
                              "kepra_GetFrameEx8");
  }
  // The first frame whose record's counter is newer than `counter`, with its record.
  Frame<std::uint16_t> Grab16After(std::uint32_t counter) const {
    const auto after = [counter](KEPRA_HANDLE h, void* buffer, std::uint32_t length) {
      return kepra_GetFrameAfterEx16(h, buffer, length, counter);
    };
    return Grab<std::uint16_t>(true, after, after, "", "kepra_GetFrameAfterEx16");
  }
  Frame<std::uint8_t> Grab8After(std::uint32_t counter) const {
    const auto after = [counter](KEPRA_HANDLE h, void* buffer, std::uint32_t length) {
      return kepra_GetFrameAfterEx8(h, buffer, length, counter);
    };
    return Grab<std::uint8_t>(true, after, after, "", "kepra_GetFrameAfterEx8");
  }
  // Into the caller's buffer, which must hold a whole frame: a smaller one is refused with
  // ERROR_INSUFFICIENT_BUFFER before anything is sent.
  void Grab16Into(std::uint16_t* buffer, std::size_t samples) const {
    const FrameFormat f = Format();
    if (samples * 2 < f.bytes16) throw Error(KEPRA_ERROR_INSUFFICIENT_BUFFER, "kepra_GetFrame16");
    detail::Check(kepra_GetFrame16(h_, buffer, f.bytes16), "kepra_GetFrame16");
  }
  void Grab8Into(std::uint8_t* buffer, std::size_t samples) const {
    const FrameFormat f = Format();
    if (samples < f.bytes8) throw Error(KEPRA_ERROR_INSUFFICIENT_BUFFER, "kepra_GetFrame8");
    detail::Check(kepra_GetFrame8(h_, buffer, f.bytes8), "kepra_GetFrame8");
  }
  kepra_FrameParams FrameParams() const {
    kepra_FrameParams p{};
    detail::Check(kepra_GetFrameParams(h_, &p), "kepra_GetFrameParams");
    return p;
  }
  void SetFrameParams(const kepra_FrameParams& p) {
    detail::Check(kepra_SetFrameParams(h_, &p), "kepra_SetFrameParams");
  }

  // ---- Exposure, frame rate, clock, gain ----
  Milliseconds Exposure() const {
    return Milliseconds(Get<double>(kepra_GetExposureMs, "kepra_GetExposureMs"));
  }
  // Returns the exposure the camera took (nearest whole line).
  Milliseconds SetExposure(Milliseconds exposure) {
    double taken = 0;
    detail::Check(kepra_SetExposureMs(h_, exposure.count(), &taken), "kepra_SetExposureMs");
    return Milliseconds(taken);
  }
  std::pair<Milliseconds, Milliseconds> ExposureRange() const {
    double lo = 0, hi = 0;
    detail::Check(kepra_GetExposureMinMaxMs(h_, &lo, &hi), "kepra_GetExposureMinMaxMs");
    return {Milliseconds(lo), Milliseconds(hi)};
  }
  std::uint32_t ExposureLines() const {
    return Get<std::uint32_t>(kepra_GetExposure, "kepra_GetExposure");
  }
  void SetExposureLines(std::uint32_t lines) {
    detail::Check(kepra_SetExposure(h_, lines), "kepra_SetExposure");
  }
  FramesPerSecond FrameRate() const {
    return {Get<double>(kepra_GetFrameRate, "kepra_GetFrameRate")};
  }
  // Returns the rate the camera took.
  FramesPerSecond SetFrameRate(FramesPerSecond rate) {
    double taken = 0;
    detail::Check(kepra_SetFrameRate(h_, rate.value, &taken), "kepra_SetFrameRate");
    return {taken};
  }
  std::pair<FramesPerSecond, FramesPerSecond> FrameRateRange() const {
    double lo = 0, hi = 0;
    detail::Check(kepra_GetFrameRateMinMax(h_, &lo, &hi), "kepra_GetFrameRateMinMax");
    return {{lo}, {hi}};
  }
  void SetMaxFrameRate() { detail::Check(kepra_SetMaxFrameRate(h_), "kepra_SetMaxFrameRate"); }
  void SetMinFrameRate() { detail::Check(kepra_SetMinFrameRate(h_), "kepra_SetMinFrameRate"); }
  Megahertz Clock() const { return {Get<std::uint32_t>(kepra_GetFrequency, "kepra_GetFrequency")}; }
  void SetClock(Megahertz clock) {
    detail::Check(kepra_SetFrequency(h_, clock.value), "kepra_SetFrequency");
  }
  // The clock as the camera keeps it, in MHz with its fraction.
  double ClockMHz() const { return Get<double>(kepra_GetFrequencyD, "kepra_GetFrequencyD"); }
  void SetClockMHz(double mhz) {
    detail::Check(kepra_SetFrequencyD(h_, mhz), "kepra_SetFrequencyD");
  }

  // ---- The same settings in what the sensor counts ----
  // Frame time and exposure time in sensor-clock periods, exposure in lines.
  std::uint32_t FrameTime() const {
    return Get<std::uint32_t>(kepra_GetFrameTime, "kepra_GetFrameTime");
  }
  void SetFrameTime(std::uint32_t periods) {
    detail::Check(kepra_SetFrameTime(h_, periods), "kepra_SetFrameTime");
  }
  std::pair<std::uint32_t, std::uint32_t> FrameTimeRange() const {
    return Range(kepra_GetFrameTimeMinMax, "kepra_GetFrameTimeMinMax");
  }
  std::pair<std::uint32_t, std::uint32_t> ExposureLinesRange() const {
    return Range(kepra_GetExposureMinMax, "kepra_GetExposureMinMax");
  }
  // The longest exposure that keeps the current frame rate.
  std::uint32_t ExposureLinesAtFrameRateMax() const {
    return Get<std::uint32_t>(kepra_GetExposureFramerateMax, "kepra_GetExposureFramerateMax");
  }
  Milliseconds ExposureAtFrameRateMax() const {
    return Milliseconds(
        Get<double>(kepra_GetExposureFramerateMaxMs, "kepra_GetExposureFramerateMaxMs"));
  }
  std::uint32_t ExposureTime() const {
    return Get<std::uint32_t>(kepra_GetExposureTime, "kepra_GetExposureTime");
  }
  void SetExposureTime(std::uint32_t periods) {
    detail::Check(kepra_SetExposureTime(h_, periods), "kepra_SetExposureTime");
  }
  std::pair<std::uint32_t, std::uint32_t> ExposureTimeRange() const {
    return Range(kepra_GetExposureTimeMinMax, "kepra_GetExposureTimeMinMax");
  }
  std::uint32_t ExposureTimeAtFrameRateMax() const {
    return Get<std::uint32_t>(kepra_GetExposureTimeFramerateMax,
                              "kepra_GetExposureTimeFramerateMax");
  }
  kepra::Gain Gain() const {
    kepra::Gain g{};
    detail::Check(kepra_GetGain(h_, &g.analog, &g.digital), "kepra_GetGain");
    return g;
  }
  void SetGain(const kepra::Gain& g) {
    detail::Check(kepra_SetGain(h_, g.analog, g.digital), "kepra_SetGain");
  }
  kepra::ColourGain ColourGain() const {
    kepra::ColourGain g{};
    detail::Check(kepra_GetGainC(h_, &g.gb, &g.gr, &g.b, &g.r), "kepra_GetGainC");
    return g;
  }
  void SetColourGain(const kepra::ColourGain& g) {
    detail::Check(kepra_SetGainC(h_, g.gb, g.gr, g.b, g.r), "kepra_SetGainC");
  }

  // ---- Readout, snapshot, strobe, events, LED ----
  std::uint32_t ReadoutMode() const {
    return Get<std::uint32_t>(kepra_GetReadoutMode, "kepra_GetReadoutMode");
  }
  void SetReadoutMode(std::uint32_t mode) {
    detail::Check(kepra_SetReadoutMode(h_, mode), "kepra_SetReadoutMode");
  }
  bool Hdr() const { return Get<std::uint8_t>(kepra_GetHDR, "kepra_GetHDR") != 0; }
  void SetHdr(bool on) { detail::Check(kepra_SetHDR(h_, on ? 1 : 0), "kepra_SetHDR"); }
  std::uint32_t StreamMode() const {
    return Get<std::uint32_t>(kepra_GetStreamMode, "kepra_GetStreamMode");
  }
  void SetStreamMode(std::uint32_t mode) {
    detail::Check(kepra_SetStreamMode(h_, mode), "kepra_SetStreamMode");
  }
  kepra::Snapshot Snapshot() const {
    std::uint32_t timeout = 0;
    std::uint8_t inverted = 0;
    detail::Check(kepra_GetSnapshotParams(h_, &timeout, &inverted), "kepra_GetSnapshotParams");
    return {timeout, inverted != 0};
  }
  void SetSnapshot(const kepra::Snapshot& s) {
    detail::Check(kepra_SetSnapshotParams(h_, s.timeout_ms, s.inverted ? 1 : 0),
                  "kepra_SetSnapshotParams");
  }
  kepra::Strobe Strobe() const {
    kepra::Strobe s{};
    std::uint8_t inverted = 0;
    detail::Check(kepra_GetStrobeParams(h_, &s.mode, &s.off_delay, &s.on_delay, &inverted),
                  "kepra_GetStrobeParams");
    s.inverted = inverted != 0;
    return s;
  }
  void SetStrobe(const kepra::Strobe& s) {
    detail::Check(kepra_SetStrobeParams(h_, s.mode, s.off_delay, s.on_delay, s.inverted ? 1 : 0),
                  "kepra_SetStrobeParams");
  }
  std::uint8_t EventsState() const {
    return Get<std::uint8_t>(kepra_GetEventsState, "kepra_GetEventsState");
  }
  void SetEventsState(std::uint8_t bits, std::uint8_t mask) {
    detail::Check(kepra_SetEventsState(h_, bits, mask), "kepra_SetEventsState");
  }
  void SetFrontLed(std::uint8_t state) {
    detail::Check(kepra_SwitchFrontLED(h_, state), "kepra_SwitchFrontLED");
  }

  // ---- Registers ----
  std::uint16_t ReadRegister(std::uint16_t address) const {
    std::uint16_t v = 0;
    detail::Check(kepra_ReadSensorReg(h_, address, &v), "kepra_ReadSensorReg");
    return v;
  }
  void WriteRegister(std::uint16_t address, std::uint16_t value) {
    detail::Check(kepra_WriteSensorReg(h_, address, value), "kepra_WriteSensorReg");
  }

  // ---- Identity and versions ----
  kepra_CameraInfo Info() const {
    kepra_CameraInfo i{};
    detail::Check(kepra_GetCameraInfo(h_, &i), "kepra_GetCameraInfo");
    return i;
  }
  kepra_CameraInfoEx InfoEx() const {
    kepra_CameraInfoEx i{};
    detail::Check(kepra_GetCameraInfoEx(h_, &i), "kepra_GetCameraInfoEx");
    return i;
  }
  kepra_IdentData Ident() const {
    kepra_IdentData d{};
    detail::Check(kepra_GetIdentData(h_, &d), "kepra_GetIdentData");
    return d;
  }
  void SetIdent(const kepra_IdentData& d) {
    detail::Check(kepra_SetIdentData(h_, d), "kepra_SetIdentData");
  }
  kepra::FirmwareVersion FirmwareVersion() const {
    kepra::FirmwareVersion v{};
    detail::Check(kepra_GetFWVersion(h_, &v.v1, &v.v2, &v.v3, &v.v4, &v.v5), "kepra_GetFWVersion");
    return v;
  }
  // Throws (1638) for a driver other than the one supported.
  kepra::DriverVersion DriverVersion() const {
    kepra::DriverVersion v{};
    std::uint32_t sign = 0;
    detail::Check(kepra_GetDriverVer(h_, &v.major, &v.minor, &v.build, &sign),
                  "kepra_GetDriverVer");
    v.negative = sign != 0;
    return v;
  }
  std::uint32_t UsbSpeed() const {
    std::uint32_t speed = 0;
    detail::Check(kepra_GetUsbSpeed(h_, &speed, nullptr), "kepra_GetUsbSpeed");
    return speed;
  }
  // The speed and its detail value (kepra_GetUsbSpeed's SpeedDetail).
  std::pair<std::uint32_t, std::uint32_t> UsbSpeedDetail() const {
    std::uint32_t speed = 0, detail = 0;
    detail::Check(kepra_GetUsbSpeed(h_, &speed, &detail), "kepra_GetUsbSpeed");
    return {speed, detail};
  }
  std::vector<std::uint8_t> CheckId(std::uint32_t length) const {
    std::vector<std::uint8_t> reply(length);
    detail::Check(kepra_CheckId(h_, reply.data(), &length), "kepra_CheckId");
    return reply;
  }
  // kepra_GetVIDPID / kepra_SetVIDPID have no counterpart here: the USB identifiers cannot be
  // read or changed through the library (both always fail).
  std::string DriverLog() const {
    std::string text(4096, '\0');
    std::uint32_t n = 0;
    detail::Check(kepra_GetDrvLogMsg(h_, &text[0], static_cast<std::uint32_t>(text.size()), &n),
                  "kepra_GetDrvLogMsg");
    text.resize(n);
    return text;
  }
  void Reset() { detail::Check(kepra_DeviceReset(h_), "kepra_DeviceReset"); }

  // ---- Flash and firmware ----
  std::vector<std::uint8_t> ReadFlash(std::uint32_t address, std::uint32_t length) const {
    std::vector<std::uint8_t> bytes(length);
    detail::Check(kepra_ReadFlash(h_, address, bytes.data(), length), "kepra_ReadFlash");
    return bytes;
  }
  void WriteFlash(std::uint32_t address, const std::vector<std::uint8_t>& bytes) {
    detail::Check(
        kepra_WriteFlash(h_, address, bytes.data(), static_cast<std::uint32_t>(bytes.size())),
        "kepra_WriteFlash");
  }
  // The whole flash by address (boot image included): no device lock, no version check.
  std::vector<std::uint8_t> ReadWholeFlash(std::uint32_t address, std::uint32_t length) const {
    std::vector<std::uint8_t> bytes(length);
    detail::Check(CxReadSPIFlash(h_, address, bytes.data(), length), "CxReadSPIFlash");
    return bytes;
  }
  void WriteWholeFlash(std::uint32_t address, const std::vector<std::uint8_t>& bytes) {
    detail::Check(
        CxWriteSPIFlash(h_, address, bytes.data(), static_cast<std::uint32_t>(bytes.size())),
        "CxWriteSPIFlash");
  }
  void UpdateFirmware() { detail::Check(kepra_UpdateFW(h_), "kepra_UpdateFW"); }
  void PostTestFirmwareError() {
    detail::Check(kepra_PostTestFWError(h_), "kepra_PostTestFWError");
  }
  void UpdateFirmware(const std::string& path) {
    detail::Check(kepra_UpdateFWFromFile(h_, path.c_str()), "kepra_UpdateFWFromFile");
  }

  // ---- Bad pixels ----
  std::vector<kepra_BadPixel> BadPixels() const {
    std::uint16_t count = 0, delivered = 0;
    detail::Check(kepra_GetBadPixelCount(h_, &count), "kepra_GetBadPixelCount");
    std::vector<kepra_BadPixel> list(count);
    if (count) {
      detail::Check(kepra_GetBadPixelData(h_, list.data(), count, &delivered),
                    "kepra_GetBadPixelData");
      list.resize(delivered);
    }
    return list;
  }
  void SetBadPixels(const std::vector<kepra_BadPixel>& list) {
    detail::Check(
        kepra_SetBadPixelData(h_, list.data(), static_cast<std::uint16_t>(list.size()), nullptr),
        "kepra_SetBadPixelData");
  }
  bool FixBadPixels() const {
    std::uint8_t on = 0;
    detail::Check(kepra_GetFixBadPixels(h_, &on, nullptr), "kepra_GetFixBadPixels");
    return on != 0;
  }
  // Whether the camera holds a bad-pixel list to correct with.
  bool HasBadPixelList() const {
    std::uint8_t on = 0, has_list = 0;
    detail::Check(kepra_GetFixBadPixels(h_, &on, &has_list), "kepra_GetFixBadPixels");
    return has_list != 0;
  }
  std::uint16_t MaxBadPixels() const {
    return Get<std::uint16_t>(kepra_GetMaxBadPixelCount, "kepra_GetMaxBadPixelCount");
  }
  void SetFixBadPixels(bool on) {
    detail::Check(kepra_SetFixBadPixels(h_, on ? 1 : 0, nullptr), "kepra_SetFixBadPixels");
  }

 private:
  template <typename V, typename Fn>
  V Get(Fn fn, const char* name) const {
    V v{};
    detail::Check(fn(h_, &v), name);
    return v;
  }
  template <typename Fn>
  std::pair<std::uint32_t, std::uint32_t> Range(Fn fn, const char* name) const {
    std::uint32_t lo = 0, hi = 0;
    detail::Check(fn(h_, &lo, &hi), name);
    return {lo, hi};
  }
  template <typename T, typename Plain, typename Ex>
  Frame<T> Grab(bool with_info, Plain plain, Ex ex, const char* plain_name,
                const char* ex_name) const {
    const FrameFormat f = Format();
    Frame<T> frame;
    frame.width = f.width;
    frame.height = f.height;
    frame.bit_depth = sizeof(T) == 1 ? 8 : f.bit_depth;
    const std::size_t count = static_cast<std::size_t>(f.width) * f.height;
    frame.samples.resize(count);
    if (!with_info) {
      detail::Check(plain(h_, frame.samples.data(), static_cast<std::uint32_t>(count * sizeof(T))),
                    plain_name);
      return frame;
    }
    std::vector<std::uint8_t> raw(sizeof(kepra_FrameInfo) + count * sizeof(T));
    detail::Check(ex(h_, raw.data(), static_cast<std::uint32_t>(raw.size())), ex_name);
    kepra_FrameInfo info;
    std::copy(raw.begin(), raw.begin() + sizeof info, reinterpret_cast<std::uint8_t*>(&info));
    frame.info = info;
    std::copy(raw.begin() + sizeof info, raw.end(),
              reinterpret_cast<std::uint8_t*>(frame.samples.data()));
    return frame;
  }

  KEPRA_HANDLE h_;
};

enum class Strategy : std::uint32_t {
  kOldestFirst = KEPRA_STREAM_OLDEST_FIRST,
  kNewestOnly = KEPRA_STREAM_NEWEST_ONLY,
};

struct StreamOptions {
  std::uint32_t depth = 16;  // 8 or 16
  std::uint32_t buffers = 8;
  Strategy strategy = Strategy::kOldestFirst;
  bool with_info = true;
};

struct StreamStats {
  bool running;
  std::uint64_t received, delivered, skipped, dropped, failures;
  std::uint32_t last_error, queued, held;
};

// A frame taken from a stream; its buffer goes back to the pool when it is destroyed.
class StreamFrame {
 public:
  StreamFrame() = default;
  StreamFrame(StreamFrame&& other) noexcept
      : s_(std::exchange(other.s_, nullptr)), frame_(other.frame_) {}
  StreamFrame& operator=(StreamFrame&& other) noexcept {
    if (this != &other) {
      Release();
      s_ = std::exchange(other.s_, nullptr);
      frame_ = other.frame_;
    }
    return *this;
  }
  StreamFrame(const StreamFrame&) = delete;
  StreamFrame& operator=(const StreamFrame&) = delete;
  ~StreamFrame() { Release(); }

  const kepra_Frame& raw() const { return frame_; }
  std::uint32_t width() const { return frame_.Width; }
  std::uint32_t height() const { return frame_.Height; }
  std::uint32_t bit_depth() const { return frame_.BitDepth; }
  std::uint64_t sequence() const { return frame_.Sequence; }
  std::uint32_t counter() const { return frame_.FrameCounter; }
  std::chrono::microseconds timestamp() const {
    return std::chrono::microseconds(frame_.TimestampUs);
  }
  const kepra_FrameInfo* info() const { return frame_.Info; }
  // The samples of a 16-bit (or 8-bit) stream; the other one's view is empty.
  View<std::uint16_t> Samples16() const {
    if (frame_.Depth != 16) return {};
    return {static_cast<const std::uint16_t*>(frame_.Samples), frame_.Bytes / 2u};
  }
  View<std::uint8_t> Samples8() const {
    if (frame_.Depth != 8) return {};
    return {static_cast<const std::uint8_t*>(frame_.Samples), frame_.Bytes};
  }
  // Gives the buffer back now rather than at destruction.
  void Release() {
    if (s_) kepra_ReleaseFrame(s_, &frame_);
    s_ = nullptr;
  }

 private:
  friend class Stream;
  StreamFrame(KEPRA_STREAM s, const kepra_Frame& f) : s_(s), frame_(f) {}
  KEPRA_STREAM s_ = nullptr;
  kepra_Frame frame_{};
};

// A stream of a camera (which must outlive it). Started at construction unless told not to;
// stopped and closed at destruction.
class Stream {
 public:
  explicit Stream(const Camera& camera, StreamOptions options = {}, bool start = true) {
    kepra_StreamConfig c{};
    c.Size = sizeof c;
    c.Depth = options.depth;
    c.BufferCount = options.buffers;
    c.Strategy = static_cast<std::uint32_t>(options.strategy);
    c.WithInfo = options.with_info ? 1 : 0;
    s_ = kepra_OpenStream(camera.handle(), &c);
    if (!s_) throw Error(kepra_GetLastError(), "kepra_OpenStream");
    if (start) Start();
  }
  ~Stream() {
    if (s_) kepra_CloseStream(s_);
  }
  Stream(Stream&& other) noexcept
      : s_(std::exchange(other.s_, nullptr)), callback_(std::move(other.callback_)) {}
  Stream& operator=(Stream&& other) noexcept {
    if (this != &other) {
      if (s_) kepra_CloseStream(s_);
      s_ = std::exchange(other.s_, nullptr);
      callback_ = std::move(other.callback_);  // on the heap: the library's context stays valid
    }
    return *this;
  }
  Stream(const Stream&) = delete;
  Stream& operator=(const Stream&) = delete;

  void Start() { detail::Check(kepra_StartStream(s_), "kepra_StartStream"); }
  void Stop() { detail::Check(kepra_StopStream(s_), "kepra_StopStream"); }
  // The next frame; empty when none came within `timeout` or the stream was stopped.
  std::optional<StreamFrame> Next(std::chrono::milliseconds timeout) {
    const auto ms = timeout.count() < 0 ? 0 : timeout.count();
    return NextFor(ms >= KEPRA_INFINITE ? KEPRA_INFINITE - 1 : static_cast<std::uint32_t>(ms));
  }
  // Waits without limit; empty once the stream is stopped and drained.
  std::optional<StreamFrame> Next() { return NextFor(KEPRA_INFINITE); }
  // Frames to a function on the stream's own thread, from the next start on (stopped only).
  void OnFrame(std::function<void(const kepra_Frame&)> callback) {
    callback_ = std::make_unique<std::function<void(const kepra_Frame&)>>(std::move(callback));
    detail::Check(kepra_SetFrameCallback(s_, &Stream::Trampoline, callback_.get()),
                  "kepra_SetFrameCallback");
  }
  StreamStats Stats() const {
    kepra_StreamStats st{};
    st.Size = sizeof st;
    detail::Check(kepra_GetStreamStats(s_, &st), "kepra_GetStreamStats");
    return {st.Running != 0, st.Received,  st.Delivered, st.Skipped, st.Dropped,
            st.Failures,     st.LastError, st.Queued,    st.Held};
  }

  // Range-for over the frames: each step gives the previous frame's buffer back and waits for
  // the next; the range ends when the stream stops (from another thread, or after `count`
  // frames with Take).
  class Iterator {
   public:
    Iterator(Stream* s, std::uint64_t left) : s_(s), left_(left) { Advance(); }
    const StreamFrame& operator*() const { return *frame_; }
    const StreamFrame* operator->() const { return &*frame_; }
    Iterator& operator++() {
      Advance();
      return *this;
    }
    bool operator!=(const Iterator& other) const {
      return frame_.has_value() != other.frame_.has_value();
    }
    bool operator==(const Iterator& other) const { return !(*this != other); }

   private:
    friend class Stream;
    Iterator() = default;
    void Advance() {
      frame_.reset();
      if (!s_ || left_ == 0) return;
      --left_;
      frame_ = s_->Next();
    }
    Stream* s_ = nullptr;
    std::uint64_t left_ = 0;
    std::optional<StreamFrame> frame_;
  };
  class Range {
   public:
    Iterator begin() { return Iterator(s_, left_); }
    Iterator end() { return Iterator(); }

   private:
    friend class Stream;
    Range(Stream* s, std::uint64_t left) : s_(s), left_(left) {}
    Stream* s_;
    std::uint64_t left_;
  };
  Iterator begin() { return Iterator(this, UINT64_MAX); }
  Iterator end() { return Iterator(); }
  // At most `count` frames.
  Range Take(std::uint64_t count) { return Range(this, count); }

  KEPRA_STREAM handle() const { return s_; }

 private:
  std::optional<StreamFrame> NextFor(std::uint32_t ms) {
    kepra_Frame f{};
    f.Size = sizeof f;
    if (kepra_NextFrame(s_, &f, ms)) return StreamFrame(s_, f);
    const std::uint32_t error = kepra_GetLastError();
    if (error == KEPRA_ERROR_TIMEOUT || error == KEPRA_ERROR_OPERATION_ABORTED) return std::nullopt;
    throw Error(error, "kepra_NextFrame");
  }
  static void KEPRA_CALL Trampoline(const kepra_Frame* frame, void* context) {
    // No exception may cross into the library's thread.
    try {
      (*static_cast<std::function<void(const kepra_Frame&)>*>(context))(*frame);
    } catch (...) {
    }
  }

  KEPRA_STREAM s_ = nullptr;
  std::unique_ptr<std::function<void(const kepra_Frame&)>> callback_;
};

}  // namespace kepra

#endif  // KEPRA_KEPRA_HPP
