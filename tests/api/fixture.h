// Common ground of the API tests: a rig with one virtual camera, handles that close
// themselves, injected failures, and the request log as short readable words.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "kepra/kepra.h"
#include "protocol/protocol.h"
#include "rig.h"

namespace kt {

namespace io = kepra::protocol;
using Lines = std::vector<std::string>;
using Words = std::vector<std::string>;
using Call = std::function<std::uint32_t()>;

inline const std::uint32_t kIndex = rig::TestIndex();
constexpr std::uint32_t kSentinel = 0x5EB7u;  // a last-error value the library never sets

// Whether `done` holds, now or within `within`: for a state another thread gets to.
inline bool Eventually(const std::function<bool()>& done,
                       std::chrono::milliseconds within = std::chrono::seconds(10)) {
  const auto until = std::chrono::steady_clock::now() + within;
  while (!done() && std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return done();
}

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

// A frame-parameter record: a region, its bit depth, binning and flags.
inline kepra_FrameParams Params(std::uint16_t x, std::uint16_t y, std::uint16_t w,
                                std::uint16_t hgt, std::uint16_t depth = 10,
                                std::uint16_t bin_x = 1, std::uint16_t bin_y = 1,
                                std::uint16_t flags = 0) {
  return {x, y, w, hgt, depth, bin_x, bin_y, flags, {}};
}

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

  // A 64 x 48 window at `bit_depth` bits: small frames keep an unpaced camera fast.
  void UseSmallFrames(std::uint16_t bit_depth) {
    const kepra_FrameParams p = Params(0, 0, 64, 48, bit_depth);
    ASSERT_EQ(kepra_SetFrameParams(h(), &p), 1u);
    camera_->ClearLog();
  }

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

  // True when the log is one locked sequence: the lock's device-index request first, that of
  // the release last.
  bool Locked() const {
    const auto log = camera_->Log();
    return log.size() >= 2 && log.front().code == io::IOCTL_DEVICE_INDEX &&
           log.back().code == io::IOCTL_DEVICE_INDEX;
  }

  // Whether the call sent just one request: `code` with input `in`, asking for `out_size`
  // bytes, under the lock (its device-index requests around it) or alone. Clears the log.
  testing::AssertionResult Sent(std::uint32_t code, const std::vector<std::uint8_t>& in,
                                std::uint32_t out_size, bool locked) const {
    const auto idx = io::IOCTL_DEVICE_INDEX;
    const auto expected =
        locked ? std::vector<std::uint32_t>{idx, code, idx} : std::vector<std::uint32_t>{code};
    const auto codes = Codes();
    const auto work = WorkRequests();
    camera_->ClearLog();
    if (codes != expected) {
      return testing::AssertionFailure()
             << codes.size() << " requests, not the " << expected.size() << " expected";
    }
    if (work[0].in != in) return testing::AssertionFailure() << "other input bytes";
    if (work[0].out_size != out_size) {
      return testing::AssertionFailure() << "asked for " << work[0].out_size << " bytes";
    }
    return testing::AssertionSuccess();
  }

  // What a getter of one value gives (a test failure when the call fails).
  template <typename T>
  T Value(std::uint32_t(KEPRA_CALL* get)(KEPRA_HANDLE, T*)) const {
    T value{};
    EXPECT_EQ(get(h(), &value), 1u) << "last error " << kepra_GetLastError();
    return value;
  }

  void FailCode(std::uint32_t code, std::uint32_t error = 31, int times = 1) {
    camera_->AddFault({.code = code, .error = error, .times = times});
  }

  // Fails the n-th request of `code` counted from now (1-based).
  void FailNth(std::uint32_t code, std::uint64_t nth, std::uint32_t error = 31) {
    camera_->AddFault({.nth = nth, .code = code, .error = error});
  }

  void SetRegisters(std::initializer_list<std::pair<std::uint16_t, std::uint16_t>> values) {
    for (const auto& [address, value] : values) camera_->SetRegister(address, value);
  }

  // The work requests as words: "R14" a register read, "W12=044C" a register write (value in
  // hex), "BLOCK" the timing block read, "F?" / "F=40" a clock read / set, "0x..." any other
  // code, a "!" suffix for a request that failed.
  Words Ops() const {
    Words ops;
    for (const auto& e : WorkRequests()) {
      char word[32];
      if (e.code == io::IOCTL_SENSOR_REG && e.in.size() == 2) {
        std::snprintf(word, sizeof word, "R%u", e.in[0] | e.in[1] << 8);
      } else if (e.code == io::IOCTL_SENSOR_REG && e.in.size() == 4) {
        std::snprintf(word, sizeof word, "W%u=%04X", e.in[0] | e.in[1] << 8,
                      e.in[2] | e.in[3] << 8);
      } else if (e.code == io::IOCTL_SENSOR_REGS) {
        std::snprintf(word, sizeof word, "BLOCK");
      } else if (e.code == io::IOCTL_FREQUENCY && e.in.empty()) {
        std::snprintf(word, sizeof word, "F?");
      } else if (e.code == io::IOCTL_FREQUENCY) {
        std::snprintf(word, sizeof word, "F=%u", e.in[0] | e.in[1] << 8);
      } else {
        std::snprintf(word, sizeof word, "0x%X", e.code);
      }
      ops.push_back(std::string(word) + (e.ok ? "" : "!"));
    }
    return ops;
  }

  // Register writes only, as in Ops().
  Words Writes() const {
    Words writes;
    for (const auto& op : Ops()) {
      if (op[0] == 'W') writes.push_back(op);
    }
    return writes;
  }

  rig::Rig rig_;
  std::shared_ptr<vcam::Camera> camera_;
  std::unique_ptr<Handle> handle_;
};

// Whether a call failed: its `result` 0 (or null) and the last error `error`.
template <typename Result>
testing::AssertionResult Failed(Result result, std::uint32_t error) {
  const std::uint32_t last = kepra_GetLastError();
  if (result == Result{} && last == error) return testing::AssertionSuccess();
  return testing::AssertionFailure() << "returned " << result << ", last error " << last;
}

inline std::vector<std::uint8_t> Bytes(std::initializer_list<int> values) {
  return std::vector<std::uint8_t>(values.begin(), values.end());
}

}  // namespace kt
