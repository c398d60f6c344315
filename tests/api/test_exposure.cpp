// Exposure in lines, sensor-clock periods and milliseconds, through the public API.
#include <atomic>
#include <cmath>
#include <limits>
#include <thread>

#include "fixture.h"

namespace kt {
namespace {

// Exposure times at line length 100, worked by hand: lines x 100 x 15.999554533002907 (the
// documented tick), truncated. 2 lines: 3199; 65534: 104851480.
// The debug lines of the failure stacks.
const std::string kToLines = "CxExposureTimeToExposure( H, ExposureTime, &Exposure) fail!\n";
const std::string kSetTime = "CxSetExposureTime failed";

class Exposure : public CameraTest {
 protected:
  void SetUp() override {
    CameraTest::SetUp();
    camera_->SetFrequency(48);
    // Line length 100 under set bits 11-15; a sequential-exposure window whose minimum frame
    // length is the exposure + 11 + 6 + 1000 (window rows) + 2.
    SetRegisters({{4, 0xF800 | 100},
                  {14, 1000},
                  {27, 125},
                  {19, 1000},
                  {26, 0},
                  {12, 5000},
                  {62, 0},
                  {7, 0},
                  {10, 0},
                  {11, 0},
                  {13, 0},
                  {16, 0},
                  {23, 0},
                  {57, 0}});
  }
};

// ---- Limits ----

TEST_F(Exposure, LineLimitsAreFixedAndNeedNoDevice) {
  // Any handle but the invalid one: not even the lock is asked for.
  for (KEPRA_HANDLE handle : {h(), reinterpret_cast<KEPRA_HANDLE>(std::uintptr_t{0x7A5C})}) {
    std::uint32_t lo = 0, hi = 0;
    ASSERT_EQ(kepra_GetExposureMinMax(handle, &lo, &hi), 1u);
    EXPECT_EQ(lo, 2u);
    EXPECT_EQ(hi, 65534u);
  }
  EXPECT_TRUE(camera_->Log().empty());

  std::uint32_t t_lo = 0, t_hi = 0;
  ASSERT_EQ(kepra_GetExposureTimeMinMax(h(), &t_lo, &t_hi), 1u);
  EXPECT_EQ(t_lo, 3199u);
  EXPECT_EQ(t_hi, 104851480u);
  double ms_lo = 0, ms_hi = 0;
  ASSERT_EQ(kepra_GetExposureMinMaxMs(h(), &ms_lo, &ms_hi), 1u);
  EXPECT_DOUBLE_EQ(ms_lo, 3199 / 48000.0);
  EXPECT_DOUBLE_EQ(ms_hi, 104851480 / 48000.0);
}

// ---- Reading and setting, worked examples ----

TEST_F(Exposure, ThousandLinesAtLineLength100And48MHz) {
  std::uint32_t lines = 0, t = 0;
  double ms = 0;
  ASSERT_EQ(kepra_GetExposure(h(), &lines), 1u);
  EXPECT_EQ(lines, 1000u);
  ASSERT_EQ(kepra_GetExposureTime(h(), &t), 1u);
  EXPECT_EQ(t, 1599955u);
  ASSERT_EQ(kepra_GetExposureMs(h(), &ms), 1u);
  EXPECT_DOUBLE_EQ(ms, 33.33239583333334);

  camera_->SetRegister(14, 1);
  ASSERT_EQ(kepra_SetExposureTime(h(), 1599955), 1u);
  EXPECT_EQ(camera_->Register(14), 1000);
  EXPECT_EQ(camera_->Register(27), 125);
  // 800 periods are 0.50001 lines: rounds to 1.
  ASSERT_EQ(kepra_SetExposureTime(h(), 800), 1u);
  EXPECT_EQ(camera_->Register(14), 1);
  EXPECT_EQ(camera_->Register(27), 0);

  // 10 ms: 480000 periods, 300 lines, read back as 9.999708333333333 ms.
  double back = 0;
  ASSERT_EQ(kepra_SetExposureMs(h(), 10.0, &back), 1u);
  EXPECT_EQ(camera_->Register(14), 300);
  EXPECT_EQ(camera_->Register(27), 37);
  EXPECT_DOUBLE_EQ(back, 9.999708333333333);
}

TEST_F(Exposure, ALongerExposureLengthensTheFrameWhenRegister62Asks) {
  camera_->SetRegister(62, 0x0010);
  ASSERT_EQ(kepra_SetExposure(h(), 4500), 1u);  // minimum 4500 + 1019 = 5519 > 5000
  EXPECT_EQ(camera_->Register(12), 5519);
  ASSERT_EQ(kepra_SetExposure(h(), 100), 1u);  // never shortened
  EXPECT_EQ(camera_->Register(12), 5519);
  camera_->SetRegister(62, 0);
  ASSERT_EQ(kepra_SetExposure(h(), 6000), 1u);
  EXPECT_EQ(camera_->Register(12), 5519);
}

// ---- Failures: the stacks of lines and what is left behind ----

TEST_F(Exposure, ZeroTimeAndZeroLineLengthAreRefusedWith87) {
  kepra_SetLastError(kSentinel);
  EXPECT_EQ(kepra_SetExposureTime(h(), 0), 0u);
  EXPECT_EQ(kepra_GetLastError(), KEPRA_ERROR_INVALID_PARAMETER);
  EXPECT_EQ(rig_.DebugLines(), (Lines{"ExposureTime is NULL", kToLines}));
  EXPECT_TRUE(WorkRequests().empty());

  // So few milliseconds that the time truncates to 0.
  EXPECT_EQ(kepra_SetExposureMs(h(), 0.00001, nullptr), 0u);
  EXPECT_EQ(kepra_GetLastError(), KEPRA_ERROR_INVALID_PARAMETER);
  EXPECT_EQ(rig_.DebugLines(), (Lines{"ExposureTime is NULL", kToLines, kSetTime}));

  // No line length: no division, the callers' lines only.
  camera_->SetRegister(4, 0xF800);
  kepra_SetLastError(kSentinel);
  EXPECT_EQ(kepra_SetExposureTime(h(), 480000), 0u);
  EXPECT_EQ(kepra_GetLastError(), KEPRA_ERROR_INVALID_PARAMETER);
  EXPECT_EQ(rig_.DebugLines(), (Lines{kToLines}));
  EXPECT_EQ(kepra_SetExposureMs(h(), 10.0, nullptr), 0u);
  EXPECT_EQ(kepra_GetLastError(), KEPRA_ERROR_INVALID_PARAMETER);
  EXPECT_EQ(rig_.DebugLines(), (Lines{kToLines, kSetTime}));
  // Reading still works: zero lines of length 0.
  std::uint32_t t = 7;
  ASSERT_EQ(kepra_GetExposureTime(h(), &t), 1u);
  EXPECT_EQ(t, 0u);
  EXPECT_EQ(camera_->Register(14), 1000);
  EXPECT_TRUE(Writes().empty());
}

// ---- The clock ----

TEST_F(Exposure, MillisecondsWithoutAClockFailButReadsStillReachTheSensor) {
  for (bool request_fails : {false, true}) {
    SCOPED_TRACE(request_fails ? "request fails" : "clock 0");
    camera_->SetFrequency(request_fails ? 48 : 0);
    double d = 7, d2 = 7;
    const struct {
      Call call;
      Words reads;
    } cases[] = {
        {[&] { return kepra_GetExposureMs(h(), &d); }, {"R14", "R4"}},
        {[&] { return kepra_GetExposureFramerateMaxMs(h(), &d); }, {"R19", "R26", "R4"}},
        {[&] { return kepra_GetExposureMinMaxMs(h(), &d, &d2); }, {"R4", "R4"}},
    };
    for (const auto& c : cases) {
      camera_->ClearLog();
      if (request_fails) FailCode(io::IOCTL_FREQUENCY, 0x4D);
      kepra_SetLastError(kSentinel);
      EXPECT_EQ(c.call(), 0u);
      EXPECT_EQ(kepra_GetLastError(), request_fails ? 0x4Du : kSentinel);
      EXPECT_TRUE(rig_.DebugLines().empty());
      Words expected{request_fails ? "F?!" : "F?"};
      expected.insert(expected.end(), c.reads.begin(), c.reads.end());
      EXPECT_EQ(Ops(), expected);
    }
    EXPECT_EQ(d + d2, 14.0);

    // Setting is refused with 87.
    if (request_fails) FailCode(io::IOCTL_FREQUENCY, 0x4D);
    EXPECT_EQ(kepra_SetExposureMs(h(), 10.0, nullptr), 0u);
    EXPECT_EQ(kepra_GetLastError(), KEPRA_ERROR_INVALID_PARAMETER);
    EXPECT_EQ(rig_.DebugLines(), (Lines{"ExposureTime is NULL", kToLines, kSetTime}));
  }
  EXPECT_EQ(camera_->Register(14), 1000);
}

// ---- Locks and the pause ----

TEST_F(Exposure, ConversionsTakeTheLockOnceMoreInsideTheExports) {
  const auto idx = io::IOCTL_DEVICE_INDEX, reg = io::IOCTL_SENSOR_REG, f = io::IOCTL_FREQUENCY;
  std::uint32_t t = 0;
  ASSERT_EQ(kepra_GetExposureTime(h(), &t), 1u);
  EXPECT_EQ(Codes(), (std::vector<std::uint32_t>{idx, reg, idx, reg, idx, idx}));

  camera_->ClearLog();
  double lo = 0, hi = 0;
  ASSERT_EQ(kepra_GetExposureMinMaxMs(h(), &lo, &hi), 1u);
  EXPECT_EQ(Codes(),
            (std::vector<std::uint32_t>{idx, idx, f, idx, reg, idx, idx, reg, idx, idx, idx}));

  camera_->ClearLog();
  ASSERT_EQ(kepra_SetExposureTime(h(), 480000), 1u);
  EXPECT_EQ(Codes(), (std::vector<std::uint32_t>{idx, idx, reg, idx, reg, reg, reg, idx}));
}

TEST_F(Exposure, SetExposureMsPausesFiftyMillisecondsHoldingTheLock) {
  const double start = rig::NowMs();
  ASSERT_EQ(kepra_SetExposureMs(h(), 10.0, nullptr), 1u);
  EXPECT_GE(rig::NowMs() - start, 48.0);

  // A second thread that wants the camera while the first pauses waits for the pause and
  // the read-back: its write lands after all of the first call's requests.
  camera_->ClearLog();
  std::atomic<bool> done{false};
  std::atomic<std::uint32_t> result{0};
  std::thread setter([&] {
    double back = 0;
    result = kepra_SetExposureMs(h(), 20.0, &back);
    done = true;
  });
  auto wrote_27 = [&] {
    for (const auto& e : camera_->Log()) {
      if (e.code == io::IOCTL_SENSOR_REG && e.in.size() == 4 && e.in[0] == 27) return true;
    }
    return false;
  };
  while (!wrote_27() && !done) std::this_thread::yield();
  // How long it waited depends on the scheduler; where its write lands does not.
  ASSERT_EQ(kepra_WriteSensorReg(h(), 0x100, 1), 1u);
  setter.join();
  EXPECT_EQ(result.load(), 1u);
  const auto ops = Ops();
  ASSERT_FALSE(ops.empty());
  EXPECT_EQ(ops.back(), "W256=0001");
  EXPECT_EQ(camera_->Register(14), 600);
}

// ---- Arguments ----

TEST_F(Exposure, MillisecondsBeyondThirtyTwoBitsOfTimeAreRefusedOnceTheClockIsKnown) {
  // 48 MHz: 89478.48 ms are 2^32 periods.
  kepra_SetLastError(kSentinel);
  EXPECT_EQ(kepra_SetExposureMs(h(), 89478.49, nullptr), 0u);
  EXPECT_EQ(kepra_GetLastError(), KEPRA_ERROR_INVALID_PARAMETER);
  EXPECT_EQ(rig_.DebugLines(), (Lines{"ExposureMs is not valid"}));
  EXPECT_EQ(Ops(), (Words{"F?"}));
  // Just below: accepted; the line count wraps into 1..65534 like any other.
  ASSERT_EQ(kepra_SetExposureMs(h(), 89478.0, nullptr), 1u);
  // 4294944000 periods / 1599.955... per line = 2684415 lines, which wraps to 63055.
  EXPECT_EQ(camera_->Register(14), 63055);
}

// ---- The frame-information record ----

}  // namespace
}  // namespace kt
