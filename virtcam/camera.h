// A virtual camera: the camera and its kernel driver as the library sees them through control
// requests. It is transport-neutral: the POSIX server feeds it requests from sockets, the
// Windows test rig straight from the library's redirected DeviceIoControl calls.
//
// Requests are served one at a time per camera, like a driver. Every request can be logged,
// and faults can be injected: fail the n-th request or every request of a code with a given
// error, stall a request, or unplug the camera in the middle of a request.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "camera_settings.h"
#include "fx3_image.h"
#include "nor_flash.h"

namespace vcam {

// The five values of the firmware-version reply (12 bytes: four 16-bit words, one byte, three
// spare bytes). The library writes its carried firmware only when third is 1 and fourth 6.
struct FirmwareVersion {
  std::uint16_t first = 1;
  std::uint16_t second = 0;
  std::uint16_t third = 1;
  std::uint16_t fourth = 6;
  std::uint8_t fifth = 0;
};

struct CameraConfig {
  std::uint8_t model_code = '4';  // identity byte 2: '4'..'8', anything else is unflashed
  // Driver version word: bits 24-31 major, 16-23 minor, 0-15 build; 0.1.96 is the one the
  // library accepts.
  std::uint32_t driver_version = 0x00010060;
  FirmwareVersion firmware_version;
  std::uint32_t usb_speed = kUsbSuperSpeed;
  // Directory where the flash content (flash.bin) and the identity record (ident.bin) are
  // kept, so that they outlive the process; empty: memory only. Created if missing.
  std::string state_dir;
  bool nor_timing = false;  // page programs and sector erases take the chip's typical time
  // Paced: frames are produced every frame time x 15.999554533002907 / F microseconds and a
  // request gets the next one produced after it arrives. Unpaced: one is produced on demand.
  bool paced = false;
  std::uint32_t seed = 0x6B657072;  // scene and noise
  // Fault injection for users' error handling: every n-th request fails with
  // ERROR_GEN_FAILURE (0: never); the camera unplugs itself after n frames (0: never).
  std::uint32_t fail_every = 0;
  std::uint64_t unplug_after_frames = 0;

  // USB speed reply, first word: the link's speed code. The second word (asked for with an
  // 8-byte reply) is the signalling rate in bytes per second after line coding:
  // 1,500,000 for full speed, 60,000,000 for high speed, 500,000,000 for SuperSpeed.
  static constexpr std::uint32_t kUsbFullSpeed = 1;
  static constexpr std::uint32_t kUsbHighSpeed = 2;
  static constexpr std::uint32_t kUsbSuperSpeed = 3;
};

constexpr std::size_t kIdentDataSize = 78;
using IdentData = std::array<std::uint8_t, kIdentDataSize>;

struct LogEntry {
  std::uint32_t code;
  std::vector<std::uint8_t> in;
  std::uint32_t out_size;
  bool ok;
  std::uint32_t error;
};

struct Fault {
  enum class Action { kFail, kStall, kUnplug };
  Action action = Action::kFail;
  std::uint64_t nth = 0;       // request number (1-based, counted from the fault's arming); 0: any
  std::uint32_t code = 0;      // control code to match; 0: any
  std::uint32_t error = 31;    // for kFail: the Win32 error reported (ERROR_GEN_FAILURE)
  std::uint32_t stall_ms = 0;  // for kStall: delay before the request is served normally
  int times = 1;               // how many matching requests it affects; -1: all
};

class Camera {
 public:
  struct Result {
    bool ok = false;
    std::uint32_t error = 0;
    std::uint32_t bytes = 0;  // bytes written to the output buffer
    bool disconnect = false;  // the camera went away: the transport drops the connection
  };

  // Throws std::runtime_error when a state directory is given but cannot be used.
  explicit Camera(std::uint32_t index, CameraConfig config = {});
  Camera(const Camera&) = delete;
  Camera& operator=(const Camera&) = delete;

  std::uint32_t index() const { return index_; }

  // Asked while a frame request waits: true when the client that sent it went away (its
  // connection closed, its request cancelled), so that the wait ends with
  // ERROR_OPERATION_ABORTED instead of holding a thread for a frame nobody takes.
  using Abandoned = std::function<bool()>;
  // Serves one request. `out` is the caller's output buffer of the length it asked for.
  Result Serve(std::uint32_t code, std::span<const std::uint8_t> in, std::span<std::uint8_t> out,
               const Abandoned& abandoned = {});

  // ---- Inspection and control, for tests and the daemon ----
  std::uint16_t Register(std::uint16_t address) const;
  void SetRegister(std::uint16_t address, std::uint16_t value);
  std::uint32_t Frequency() const;
  void SetFrequency(std::uint32_t mhz);
  std::uint32_t LastAfterValue() const;
  std::uint64_t FramesServed() const;
  // Requests waiting in the camera now: for a frame time, a trigger or a stall.
  std::uint32_t WaitingRequests() const;
  // Counter of the last frame delivered (frames start at kFirstFrameCounter).
  std::uint32_t LastFrameCounter() const;
  static constexpr std::uint32_t kFirstFrameCounter = 0xFFFFFF00u;
  // A trigger for snapshot mode (stream mode 1): releases one waiting or the next frame request.
  void Trigger();
  void SetPaced(bool paced);
  // Whether the camera runs its firmware (false: it sits in the FX3 boot loader).
  bool Booted() const;
  std::uint16_t SensorWidth() const;
  std::uint16_t SensorHeight() const;
  // The settings the driver keeps (camera_settings.h).
  DriverSettings Settings() const;
  void SetSettings(const DriverSettings& settings);

  IdentData Ident() const;
  void SetIdent(const IdentData& ident);
  std::uint32_t DriverVersion() const;
  void SetDriverVersion(std::uint32_t word);
  FirmwareVersion Firmware() const;
  void SetFirmware(const FirmwareVersion& version);
  void SetUsbSpeed(std::uint32_t speed_code);
  // The driver log, oldest line first (each line ends in '\n').
  std::vector<std::string> DriverLog() const;
  // The camera's SPI flash; thread-safe on its own.
  NorFlash& Flash() { return flash_; }

  void EnableLog(bool on);
  std::vector<LogEntry> Log() const;
  void ClearLog();

  void AddFault(const Fault& fault);
  void ClearFaults();

  bool Unplugged() const { return unplugged_.load(); }
  // Requests waiting for a frame, a trigger or a stall end at once, as for a camera pulled out.
  void Unplug();
  // The camera is back: requests are served again, and --unplug-after-frames counts afresh.
  void Replug();

 private:
  // `lock` holds mutex_; a frame request may release it while it waits.
  Result Dispatch(std::unique_lock<std::mutex>& lock, std::uint32_t code,
                  std::span<const std::uint8_t> in, std::span<std::uint8_t> out,
                  const Abandoned& abandoned);
  Result ServeSensorReg(std::span<const std::uint8_t> in, std::span<std::uint8_t> out);
  Result ServeSensorRegs(std::span<const std::uint8_t> in, std::span<std::uint8_t> out);
  Result ServeFrequency(std::span<const std::uint8_t> in, std::span<std::uint8_t> out);
  void PowerOnRegisters();  // the documented power-on values; a device reset restores them

  // camera_frames.cpp
  Result ServeFrame(std::unique_lock<std::mutex>& lock, std::uint32_t code,
                    std::span<const std::uint8_t> in, std::span<std::uint8_t> out,
                    const Abandoned& abandoned);
  // The FX3 boot loader's verdict on the flash; sets booted_ and the sensor geometry.
  Fx3Check Boot();

  // camera_identity.cpp
  void InitIdentity();
  bool StoreIdent(const IdentData& ident);
  void DriverLogLocked(const std::string& line);
  Result ServeIdentData(std::span<const std::uint8_t> in, std::span<std::uint8_t> out);
  Result ServeSetIdentData(std::span<const std::uint8_t> in, std::span<std::uint8_t> out);
  Result ServeCheckId(std::span<const std::uint8_t> in, std::span<std::uint8_t> out);
  Result ServeDriverVersion(std::span<const std::uint8_t> in, std::span<std::uint8_t> out);
  Result ServeFirmwareVersion(std::span<const std::uint8_t> in, std::span<std::uint8_t> out);
  Result ServeUsbSpeed(std::span<const std::uint8_t> in, std::span<std::uint8_t> out);
  Result ServeDriverLog(std::span<const std::uint8_t> in, std::span<std::uint8_t> out);
  Result ServeDeviceReset(std::span<const std::uint8_t> in, std::span<std::uint8_t> out);

  // camera_flash.cpp
  void InitFlash();
  Result ServeReadPage(std::span<const std::uint8_t> in, std::span<std::uint8_t> out);
  Result ServeWritePage(std::span<const std::uint8_t> in, std::span<std::uint8_t> out);
  Result ServeEraseSector(std::span<const std::uint8_t> in, std::span<std::uint8_t> out);
  Result ServePostTestFwError(std::span<const std::uint8_t> in, std::span<std::uint8_t> out);
  // Settings the driver keeps (camera_settings.cpp).
  Result ServeHdr(std::span<const std::uint8_t> in, std::span<std::uint8_t> out);
  Result ServeEventsState(std::span<const std::uint8_t> in, std::span<std::uint8_t> out);
  Result ServeSnapshot(std::span<const std::uint8_t> in, std::span<std::uint8_t> out);
  Result ServeStreamMode(std::span<const std::uint8_t> in, std::span<std::uint8_t> out);
  Result ServeFrontLed(std::span<const std::uint8_t> in, std::span<std::uint8_t> out);
  Result ServeFrameParams(std::span<const std::uint8_t> in, std::span<std::uint8_t> out);
  Result ServeFixBadPixels(std::span<const std::uint8_t> in, std::span<std::uint8_t> out);
  Result ServeBadPixelCount(std::span<const std::uint8_t> in, std::span<std::uint8_t> out);
  Result ServeGetBadPixels(std::span<const std::uint8_t> in, std::span<std::uint8_t> out);
  Result ServeSetBadPixels(std::span<const std::uint8_t> in, std::span<std::uint8_t> out);

  const std::uint32_t index_;
  CameraConfig config_;
  mutable std::mutex mutex_;  // serialises requests and guards the state below
  std::array<std::uint16_t, 65536> registers_{};
  std::uint32_t frequency_mhz_ = 40;
  std::uint32_t last_after_value_ = 0;
  std::uint64_t frames_ = 0;
  std::uint64_t frames_at_plug_ = 0;  // frames_ when last plugged in
  std::uint32_t waiting_ = 0;         // requests inside a wait
  IdentData ident_{};
  std::uint32_t driver_version_;
  FirmwareVersion firmware_;
  std::uint32_t usb_speed_;
  std::deque<std::string> driver_log_;
  std::uint64_t driver_log_seq_ = 0;
  NorFlash flash_;
  DriverSettings settings_;
  bool booted_ = true;
  std::uint16_t sensor_width_ = kSensorWidth;
  std::uint16_t sensor_height_ = kSensorHeight;
  // Frames (camera_frames.cpp).
  std::condition_variable frame_cv_;  // paced waits, triggers
  const std::chrono::steady_clock::time_point epoch_ = std::chrono::steady_clock::now();
  std::uint32_t next_counter_ = kFirstFrameCounter;      // unpaced: the next frame's counter
  std::uint32_t last_counter_ = kFirstFrameCounter - 1;  // paced: the latest frame scheduled
  std::chrono::steady_clock::time_point last_time_ = epoch_;
  std::uint32_t delivered_counter_ = 0;
  std::uint64_t triggers_ = 0;
  std::uint64_t triggers_taken_ = 0;

  mutable std::mutex control_mutex_;  // guards log and faults (never held while serving)
  bool log_enabled_ = false;
  std::vector<LogEntry> log_;
  struct ArmedFault {
    Fault fault;
    std::uint64_t seen = 0;
  };
  std::vector<ArmedFault> faults_;
  std::uint64_t requests_ = 0;
  std::atomic<bool> unplugged_{false};
};

}  // namespace vcam
