// Common ground of the API tests: a rig with one virtual camera, handles that close
// themselves, and readers for the request log.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "driver/ioctl.h"
#include "kepra/kepra.h"
#include "rig.h"

namespace kt {

namespace io = kepra::driver;

// The device index the suites use. Test runs from several work trees at once on one machine
// pick different ones (KEPRA_TEST_INDEX), since the lock mutexes are machine-wide.
inline std::uint32_t TestIndex() {
  const char* value = std::getenv("KEPRA_TEST_INDEX");
  const unsigned long index = value ? std::strtoul(value, nullptr, 10) : 7;
  return index < 33 ? static_cast<std::uint32_t>(index) : 7;
}
inline const std::uint32_t kIndex = TestIndex();
constexpr std::uint32_t kSentinel = 0x5EB7u;  // a last-error value the library never sets

// An open camera handle that closes itself.
class Handle {
 public:
  explicit Handle(std::uint32_t index) : h_(kepra_OpenDevice(index)) {}
  ~Handle() {
    if (h_ != KEPRA_INVALID_HANDLE) kepra_CloseDevice(h_);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  KEPRA_HANDLE get() const { return h_; }
  bool ok() const { return h_ != KEPRA_INVALID_HANDLE; }
  KEPRA_HANDLE release() {
    KEPRA_HANDLE h = h_;
    h_ = KEPRA_INVALID_HANDLE;
    return h;
  }

 private:
  KEPRA_HANDLE h_;
};

class CameraTest : public ::testing::Test {
 protected:
  void SetUp() override {
    camera_ = rig_.Plug(kIndex);
    handle_ = std::make_unique<Handle>(kIndex);
    ASSERT_TRUE(handle_->ok());
    camera_->ClearLog();
    rig_.DebugLines();
  }
  void TearDown() override { handle_.reset(); }

  KEPRA_HANDLE h() const { return handle_->get(); }

  // Control codes of the requests the camera received since the log was cleared.
  std::vector<std::uint32_t> Codes() const {
    std::vector<std::uint32_t> codes;
    for (const auto& entry : camera_->Log()) codes.push_back(entry.code);
    return codes;
  }

  // The requests that were not lock bookkeeping (device-index queries).
  std::vector<vcam::LogEntry> WorkRequests() const {
    std::vector<vcam::LogEntry> work;
    for (const auto& entry : camera_->Log()) {
      if (entry.code != io::IOCTL_DEVICE_INDEX) work.push_back(entry);
    }
    return work;
  }

  void FailCode(std::uint32_t code, std::uint32_t error = 31, int times = 1) {
    vcam::Fault fault;
    fault.code = code;
    fault.error = error;
    fault.times = times;
    camera_->AddFault(fault);
  }

  rig::Rig rig_;
  std::shared_ptr<vcam::Camera> camera_;
  std::unique_ptr<Handle> handle_;
};

inline std::vector<std::uint8_t> Bytes(std::initializer_list<int> values) {
  std::vector<std::uint8_t> bytes;
  for (int v : values) bytes.push_back(static_cast<std::uint8_t>(v));
  return bytes;
}

}  // namespace kt
