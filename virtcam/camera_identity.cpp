// The virtual camera's identity record and identity check, its versions, USB speed, driver
// log and device reset.
//
// Identity record as this camera fills it (the library reads only bytes 0 to 5):
//   0-1   identity word 0x0001 (record layout 1), little-endian
//   2     model code from the configuration
//   3     board revision 1;  4, 5: 0
//   6-21  serial number, ASCII, NUL-padded: "VCAM" and the device index in four digits
//   22-77 zero
// The identity-check reply is the ASCII text "KEPRA " followed by the serial number of the
// current record, cut or NUL-padded to exactly the length asked for.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <system_error>

#include "camera.h"
#include "camera_io.h"
#include "fx3_image.h"

namespace vcam {
namespace {

using namespace reply;
namespace fs = std::filesystem;

constexpr std::size_t kSerialOffset = 6;
constexpr std::size_t kSerialSize = 16;
constexpr std::size_t kDriverLogLines = 64;
constexpr std::size_t kFirmwareVersionSize = 12;

// Second word of the USB speed reply: the signalling rate in bytes per second after line
// coding (8b/10b on SuperSpeed).
std::uint32_t LinkBytesPerSecond(std::uint32_t speed_code) {
  switch (speed_code) {
    case CameraConfig::kUsbFullSpeed:
      return 1'500'000;
    case CameraConfig::kUsbHighSpeed:
      return 60'000'000;
    case CameraConfig::kUsbSuperSpeed:
      return 500'000'000;
    default:
      return 0;
  }
}

fs::path IdentFile(const std::string& state_dir) { return fs::path(state_dir) / "ident.bin"; }

bool ReadIdentFile(const fs::path& file, IdentData& ident) {
  std::error_code ec;
  if (fs::file_size(file, ec) != kIdentDataSize || ec) return false;
  std::ifstream in(file, std::ios::binary);
  in.read(reinterpret_cast<char*>(ident.data()), kIdentDataSize);
  return in.gcount() == static_cast<std::streamsize>(kIdentDataSize);
}

// Written beside the old file and renamed over it, so a crash leaves one or the other whole.
bool WriteIdentFile(const fs::path& file, const IdentData& ident) {
  const fs::path temporary = file.string() + ".new";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(ident.data()), kIdentDataSize);
    out.flush();
    if (!out) return false;
  }
  std::error_code ec;
  fs::rename(temporary, file, ec);
  return !ec;
}

}  // namespace

void Camera::InitIdentity() {
  IdentData ident{};
  ident[0] = 0x01;
  ident[2] = config_.model_code;
  ident[3] = 1;
  char serial[kSerialSize + 1];
  std::snprintf(serial, sizeof serial, "VCAM%04u", index_);
  std::memcpy(ident.data() + kSerialOffset, serial, std::strlen(serial));
  if (!config_.state_dir.empty()) {
    // A record kept from an earlier run is the camera's own and wins over the configuration.
    const fs::path file = IdentFile(config_.state_dir);
    std::error_code ec;
    fs::create_directories(config_.state_dir, ec);
    if (fs::exists(file, ec)) {
      if (!ReadIdentFile(file, ident)) {
        throw std::runtime_error(file.string() + ": not a 78-byte identity record");
      }
    } else if (!WriteIdentFile(file, ident)) {
      throw std::runtime_error(file.string() + ": cannot be written");
    }
  }
  ident_ = ident;
}

bool Camera::StoreIdent(const IdentData& ident) {
  if (!config_.state_dir.empty() && !WriteIdentFile(IdentFile(config_.state_dir), ident)) {
    return false;
  }
  ident_ = ident;
  return true;
}

void Camera::DriverLogLocked(const std::string& line) {
  char number[24];
  std::snprintf(number, sizeof number, "%llu ", static_cast<unsigned long long>(++driver_log_seq_));
  driver_log_.push_back(number + line + "\n");
  if (driver_log_.size() > kDriverLogLines) driver_log_.pop_front();
}

Camera::Result Camera::ServeIdentData(std::span<const std::uint8_t> in,
                                      std::span<std::uint8_t> out) {
  if (!in.empty()) return Error(kErrorInvalidParameter);
  if (out.size() < kIdentDataSize) return Error(kErrorInsufficientBuffer);
  std::copy(ident_.begin(), ident_.end(), out.begin());
  if (!booted_) out[2] = 0;  // the boot loader knows no model
  return Ok(kIdentDataSize);
}

Camera::Result Camera::ServeSetIdentData(std::span<const std::uint8_t> in,
                                         std::span<std::uint8_t> out) {
  if (in.size() != kIdentDataSize || !out.empty()) return Error(kErrorInvalidParameter);
  IdentData ident;
  std::copy(in.begin(), in.end(), ident.begin());
  if (!StoreIdent(ident)) return Error(kErrorIoDevice);
  DriverLogLocked("identity record written");
  return Ok();
}

Camera::Result Camera::ServeCheckId(std::span<const std::uint8_t> in, std::span<std::uint8_t> out) {
  if (!in.empty()) return Error(kErrorInvalidParameter);
  std::string text = "KEPRA ";
  for (std::size_t i = kSerialOffset; i < kSerialOffset + kSerialSize && ident_[i]; ++i) {
    text += static_cast<char>(ident_[i]);
  }
  const std::size_t copied = std::min(text.size(), out.size());
  std::copy_n(text.begin(), copied, out.begin());
  std::fill(out.begin() + static_cast<std::ptrdiff_t>(copied), out.end(), std::uint8_t{0});
  return Ok(static_cast<std::uint32_t>(out.size()));
}

Camera::Result Camera::ServeDriverVersion(std::span<const std::uint8_t> in,
                                          std::span<std::uint8_t> out) {
  if (!in.empty()) return Error(kErrorInvalidParameter);
  if (out.size() < 4) return Error(kErrorInsufficientBuffer);
  PutU32(out.data(), driver_version_);
  return Ok(4);
}

Camera::Result Camera::ServeFirmwareVersion(std::span<const std::uint8_t> in,
                                            std::span<std::uint8_t> out) {
  if (!in.empty()) return Error(kErrorInvalidParameter);
  if (out.size() < kFirmwareVersionSize) return Error(kErrorInsufficientBuffer);
  std::fill_n(out.begin(), kFirmwareVersionSize, std::uint8_t{0});
  // The boot loader answers with version 0.0 but keeps the hardware generation (third and
  // fourth values), so that the library's update still accepts the camera.
  PutU16(out.data(), booted_ ? firmware_.first : 0);
  PutU16(out.data() + 2, booted_ ? firmware_.second : 0);
  PutU16(out.data() + 4, firmware_.third);
  PutU16(out.data() + 6, firmware_.fourth);
  out[8] = booted_ ? firmware_.fifth : 0;
  return Ok(kFirmwareVersionSize);
}

Camera::Result Camera::ServeUsbSpeed(std::span<const std::uint8_t> in,
                                     std::span<std::uint8_t> out) {
  if (!in.empty()) return Error(kErrorInvalidParameter);
  if (out.size() < 4) return Error(kErrorInsufficientBuffer);
  if (out.size() != 4 && out.size() != 8) return Error(kErrorInvalidParameter);
  PutU32(out.data(), usb_speed_);
  if (out.size() == 8) PutU32(out.data() + 4, LinkBytesPerSecond(usb_speed_));
  return Ok(static_cast<std::uint32_t>(out.size()));
}

Camera::Result Camera::ServeDriverLog(std::span<const std::uint8_t> in,
                                      std::span<std::uint8_t> out) {
  if (!in.empty()) return Error(kErrorInvalidParameter);
  if (out.size() < kepra::protocol::kDriverLogMinimum) return Error(kErrorInsufficientBuffer);
  // The newest whole lines that fit before the NUL, oldest of them first; a newest line
  // longer than the whole buffer is cut.
  const std::size_t room = out.size() - 1;
  std::size_t first = driver_log_.size();
  std::size_t used = 0;
  while (first > 0 && used + driver_log_[first - 1].size() <= room) {
    used += driver_log_[--first].size();
  }
  std::string text;
  for (std::size_t i = first; i < driver_log_.size(); ++i) text += driver_log_[i];
  if (text.empty() && !driver_log_.empty()) text = driver_log_.back().substr(0, room);
  std::copy(text.begin(), text.end(), out.begin());
  out[text.size()] = 0;
  return Ok(static_cast<std::uint32_t>(text.size() + 1));
}

Camera::Result Camera::ServeDeviceReset(std::span<const std::uint8_t> in,
                                        std::span<std::uint8_t> out) {
  if (!in.empty() || !out.empty()) return Error(kErrorInvalidParameter);
  PowerOnRegisters();
  const Fx3Check boot = Boot();
  frame_cv_.notify_all();
  char line[200];
  if (boot.valid) {
    std::snprintf(line, sizeof line,
                  "device reset: boot image of %u bytes valid, entry 0x%08X; camera boots",
                  boot.image_bytes, boot.entry);
  } else {
    std::snprintf(line, sizeof line,
                  "device reset: no bootable image in flash (%s); camera stays in the boot loader",
                  boot.reason.c_str());
  }
  DriverLogLocked(line);
  return Ok();
}

IdentData Camera::Ident() const {
  std::lock_guard lock(mutex_);
  return ident_;
}

void Camera::SetIdent(const IdentData& ident) {
  std::lock_guard lock(mutex_);
  if (!StoreIdent(ident)) throw std::runtime_error("identity record cannot be stored");
}

std::uint32_t Camera::DriverVersion() const {
  std::lock_guard lock(mutex_);
  return driver_version_;
}

void Camera::SetDriverVersion(std::uint32_t word) {
  std::lock_guard lock(mutex_);
  driver_version_ = word;
}

FirmwareVersion Camera::Firmware() const {
  std::lock_guard lock(mutex_);
  return firmware_;
}

void Camera::SetFirmware(const FirmwareVersion& version) {
  std::lock_guard lock(mutex_);
  firmware_ = version;
}

void Camera::SetUsbSpeed(std::uint32_t speed_code) {
  std::lock_guard lock(mutex_);
  usb_speed_ = speed_code;
}

std::vector<std::string> Camera::DriverLog() const {
  std::lock_guard lock(mutex_);
  return {driver_log_.begin(), driver_log_.end()};
}

}  // namespace vcam
