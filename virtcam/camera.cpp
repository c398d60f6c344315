#include "camera.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <utility>

#include "camera_io.h"
#include "protocol/protocol.h"

namespace vcam {
namespace {

namespace io = kepra::protocol;

using namespace reply;

}  // namespace

Camera::Camera(std::uint32_t index, CameraConfig config)
    : index_(index),
      config_(std::move(config)),
      driver_version_(config_.driver_version),
      firmware_(config_.firmware_version),
      usb_speed_(config_.usb_speed) {
  PowerOnRegisters();
  InitFlash();
  InitIdentity();
  Boot();
}

// The sensor as it comes out of power-on or a device reset: a full 1280 x 1024 window at the
// default 40 MHz clock, running about 27.7 frames per second. Registers not listed are 0.
//
//   reg  value   meaning
//     4  0x0052  line length 82 = the minimum at 40 MHz: max(604, 660) / 8 with window 1280
//     7  0x0000  bit 8 clear (6 lines of overhead), no window scaling
//    10  0x0000  no mode overhead, no window scaling
//    11  0x000C  bit 2 overlapped exposure, bit 3 set (normal running), readout mode 0
//    12  0x044C  frame length 1100 >= the minimum 1042 (1024 rows + 11 + 6 + 1)
//    14  0x03E8  exposure 1000 lines, shorter than the frame
//    17  0x0000  analog gain 1.0 (code 0), digital gain 1.0 (code 0x00)
//    19  0x0400  1024 rows: frame window term 1024, framerate-limited exposure 1032
//    21  0x0500  1280 columns: line window term 1280
//    26  0x0000  window divisor 8 (high byte 0), no row skipping (low byte 0)
//    27  0x007D  exposure / 8
//    54  0x8080  colour gains GB, GR 1.0
//    55  0x8080  colour gains B, R 1.0
//    62  0x0010  bit 4: the frame length follows a longer exposure
//   127  0x0900  sensor variant
//
// Frame time 82 x 1100 = 90200 units: 40 x 62501.74 / 90200 = 27.72 frames per second. The
// clock itself is the driver's setting and is not touched here.
void Camera::PowerOnRegisters() {
  registers_.fill(0);
  registers_[4] = 82;
  registers_[11] = 0x000C;
  registers_[12] = 1100;
  registers_[14] = 1000;
  registers_[19] = 1024;
  registers_[21] = 1280;
  registers_[27] = 1000 >> 3;
  registers_[54] = 0x8080;
  registers_[55] = 0x8080;
  registers_[62] = 0x0010;
  registers_[127] = 0x0900;
}

Camera::Result Camera::Serve(std::uint32_t code, std::span<const std::uint8_t> in,
                             std::span<std::uint8_t> out, const Abandoned& abandoned) {
  // Faults are matched before the request is served; a stall delays it outside the camera's
  // lock so that other connections go on meanwhile.
  Fault hit{};
  bool have_hit = false;
  std::uint32_t stall_ms = 0;
  {
    std::lock_guard lock(control_mutex_);
    ++requests_;
    if (config_.fail_every && requests_ % config_.fail_every == 0) {
      hit.error = 31;  // ERROR_GEN_FAILURE
      have_hit = true;
    }
    for (auto it = faults_.begin(); it != faults_.end();) {
      const Fault& f = it->fault;
      bool matches = f.code == 0 || f.code == code;
      if (matches) {
        ++it->seen;
        matches = f.nth == 0 || it->seen == f.nth;
      }
      if (matches) {
        if (f.action == Fault::Action::kStall) {
          stall_ms += f.stall_ms;
        } else if (!have_hit) {
          hit = f;
          have_hit = true;
        }
        if (it->fault.times > 0 && --it->fault.times == 0) {
          it = faults_.erase(it);
          continue;
        }
      }
      ++it;
    }
  }
  if (stall_ms) {
    // A stall ends early when the camera goes away (the daemon stopping, say).
    std::unique_lock lock(mutex_);
    const Waiting waiting(waiting_);
    frame_cv_.wait_for(lock, std::chrono::milliseconds(stall_ms),
                       [&] { return unplugged_.load(); });
  }

  Result result;
  if (have_hit && hit.action == Fault::Action::kUnplug) Unplug();
  if (unplugged_.load()) {
    result = Error(kErrorDeviceNotConnected);
    result.disconnect = true;
  } else if (have_hit) {
    result = Error(hit.error);
  } else {
    std::unique_lock lock(mutex_);
    result = Dispatch(lock, code, in, out, abandoned);
  }
  if (!result.ok && !result.disconnect) {
    const auto* known = io::FindControlCode(code);
    char line[96];
    std::snprintf(line, sizeof line, "request 0x%06X (%s) refused, error %u", code,
                  known ? std::string(known->name).c_str() : "unknown", result.error);
    std::lock_guard lock(mutex_);
    DriverLogLocked(line);
  }

  std::lock_guard lock(control_mutex_);
  if (log_enabled_) {
    log_.push_back({code, std::vector<std::uint8_t>(in.begin(), in.end()),
                    static_cast<std::uint32_t>(out.size()), result.ok, result.error});
  }
  return result;
}

Camera::Result Camera::Dispatch(std::unique_lock<std::mutex>& lock, std::uint32_t code,
                                std::span<const std::uint8_t> in, std::span<std::uint8_t> out,
                                const Abandoned& abandoned) {
  switch (code) {
    case io::IOCTL_DEVICE_INDEX:
      if (out.size() < 4) return Error(kErrorInsufficientBuffer);
      PutU32(out.data(), index_);
      return Ok(4);
    case io::IOCTL_SENSOR_REG:
      return ServeSensorReg(in, out);
    case io::IOCTL_SENSOR_REGS:
      return ServeSensorRegs(in, out);
    case io::IOCTL_FREQUENCY:
      return ServeFrequency(in, out);
    case io::IOCTL_GET_FRAME16:
    case io::IOCTL_GET_FRAME_EX16:
    case io::IOCTL_GET_FRAME_AFTER_EX16:
    case io::IOCTL_GET_FRAME8:
    case io::IOCTL_GET_FRAME_EX8:
    case io::IOCTL_GET_FRAME_AFTER_EX8:
      return ServeFrame(lock, code, in, out, abandoned);
    case io::IOCTL_IDENTDATA:
      return ServeIdentData(in, out);
    case io::IOCTL_SET_IDENTDATA:
      return ServeSetIdentData(in, out);
    case io::IOCTL_CHECK_ID:
      return ServeCheckId(in, out);
    case io::IOCTL_DRIVER_VERSION:
      return ServeDriverVersion(in, out);
    case io::IOCTL_FW_VERSION:
      return ServeFirmwareVersion(in, out);
    case io::IOCTL_USB_SPEED:
      return ServeUsbSpeed(in, out);
    case io::IOCTL_DRV_LOG_MSG:
      return ServeDriverLog(in, out);
    case io::IOCTL_DEVICE_RESET:
      return ServeDeviceReset(in, out);
    case io::IOCTL_SPI_READ_PAGE:
      return ServeReadPage(in, out);
    case io::IOCTL_SPI_WRITE_PAGE:
      return ServeWritePage(in, out);
    case io::IOCTL_SPI_ERASE_SECTOR:
      return ServeEraseSector(in, out);
    case io::IOCTL_POST_TEST_FW_ERROR:
      return ServePostTestFwError(in, out);
    case io::IOCTL_HDR:
      return ServeHdr(in, out);
    case io::IOCTL_EVENTS_STATE:
      return ServeEventsState(in, out);
    case io::IOCTL_SNAPSHOT_PARAMS:
      return ServeSnapshot(in, out);
    case io::IOCTL_STREAM_MODE:
      return ServeStreamMode(in, out);
    case io::IOCTL_FRONT_LED:
      return ServeFrontLed(in, out);
    case io::IOCTL_FRAME_PARAMS:
      return ServeFrameParams(in, out);
    case io::IOCTL_FIX_BAD_PIXELS:
      return ServeFixBadPixels(in, out);
    case io::IOCTL_GET_BAD_PIXELS_COUNT:
      return ServeBadPixelCount(in, out);
    case io::IOCTL_GET_BAD_PIXELS_DATA:
      return ServeGetBadPixels(in, out);
    case io::IOCTL_SET_BAD_PIXELS_DATA:
      return ServeSetBadPixels(in, out);
    default:
      return Error(kErrorInvalidFunction);
  }
}

Camera::Result Camera::ServeSensorReg(std::span<const std::uint8_t> in,
                                      std::span<std::uint8_t> out) {
  if (in.size() == 2 && out.size() == 2) {  // read
    PutU16(out.data(), registers_[GetU16(in.data())]);
    return Ok(2);
  }
  if (in.size() == 4 && out.empty()) {  // write
    const std::uint16_t address = GetU16(in.data());
    const std::uint16_t value = GetU16(in.data() + 2);
    // The strobe output is not modelled; its settings are noted in the driver log.
    char line[64] = "";
    if (address == 5) {
      std::snprintf(line, sizeof line, "strobe delays: on %u, off %u", value >> 8, value & 0xFFu);
    } else if (address == 7 && ((registers_[7] ^ value) & 0x4000)) {
      std::snprintf(line, sizeof line, "strobe inverted: %u", (value >> 14) & 1u);
    } else if (address == 11 && ((registers_[11] ^ value) & 0x00C0)) {
      std::snprintf(line, sizeof line, "strobe mode: %u", (value >> 6) & 3u);
    }
    if (line[0]) DriverLogLocked(line);
    registers_[address] = value;
    return Ok();
  }
  return Error(kErrorInvalidParameter);
}

Camera::Result Camera::ServeSensorRegs(std::span<const std::uint8_t> in,
                                       std::span<std::uint8_t> out) {
  if (in.size() != 4) return Error(kErrorInvalidParameter);
  const std::uint32_t first = GetU16(in.data());
  const std::uint32_t count = GetU16(in.data() + 2);
  if (first + count > registers_.size()) return Error(kErrorInvalidParameter);
  if (out.size() < count * 2) return Error(kErrorInsufficientBuffer);
  for (std::uint32_t k = 0; k < count; ++k) {
    PutU16(out.data() + 2 * k, registers_[first + k]);
  }
  return Ok(count * 2);
}

Camera::Result Camera::ServeFrequency(std::span<const std::uint8_t> in,
                                      std::span<std::uint8_t> out) {
  if (in.empty() && out.size() == 4) {
    PutU32(out.data(), frequency_mhz_);
    return Ok(4);
  }
  if (in.size() == 4 && out.empty()) {
    frequency_mhz_ = GetU32(in.data());
    return Ok();
  }
  return Error(kErrorInvalidParameter);
}

std::uint16_t Camera::Register(std::uint16_t address) const {
  std::lock_guard lock(mutex_);
  return registers_[address];
}

void Camera::SetRegister(std::uint16_t address, std::uint16_t value) {
  std::lock_guard lock(mutex_);
  registers_[address] = value;
}

std::uint32_t Camera::Frequency() const {
  std::lock_guard lock(mutex_);
  return frequency_mhz_;
}

void Camera::SetFrequency(std::uint32_t mhz) {
  std::lock_guard lock(mutex_);
  frequency_mhz_ = mhz;
}

std::uint32_t Camera::LastAfterValue() const {
  std::lock_guard lock(mutex_);
  return last_after_value_;
}

std::uint64_t Camera::FramesServed() const {
  std::lock_guard lock(mutex_);
  return frames_;
}

std::uint32_t Camera::WaitingRequests() const {
  std::lock_guard lock(mutex_);
  return waiting_;
}

void Camera::EnableLog(bool on) {
  std::lock_guard lock(control_mutex_);
  log_enabled_ = on;
}

std::vector<LogEntry> Camera::Log() const {
  std::lock_guard lock(control_mutex_);
  return log_;
}

void Camera::ClearLog() {
  std::lock_guard lock(control_mutex_);
  log_.clear();
}

void Camera::AddFault(const Fault& fault) {
  std::lock_guard lock(control_mutex_);
  faults_.push_back({fault, 0});
}

void Camera::ClearFaults() {
  std::lock_guard lock(control_mutex_);
  faults_.clear();
}

void Camera::Unplug() {
  std::lock_guard lock(mutex_);
  unplugged_.store(true);
  frame_cv_.notify_all();
}

void Camera::Replug() {
  std::lock_guard lock(mutex_);
  frames_at_plug_ = frames_;
  unplugged_.store(false);
}

}  // namespace vcam
