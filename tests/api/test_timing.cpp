// Frame time, frame rate and exposure (in lines, sensor-clock periods and milliseconds)
// through the public API: the registers each export reads and writes, in their order, the
// locks, and what a missing clock or a zero line length does. The arithmetic is the unit
// suite's.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <future>
#include <limits>
#include <thread>
#include <tuple>

#include "fixture.h"

namespace kt {
namespace {

using namespace std::chrono_literals;

// A rate is the clock in MHz times 62501.74015390621 (the documented frames per second per
// MHz for a frame time of one unit), divided by the frame time; worked by hand at 40 MHz.
constexpr double kRate = 62501.74015390621;
constexpr std::uint32_t kMaxTime = 134148098;

class FrameTiming : public CameraTest {
 protected:
  void SetUp() override {
    CameraTest::SetUp();
    // A 1280-column, 1024-row window at 40 MHz, sequential exposure of 57 lines: minimum line
    // length 82 (max(604, 660) / 8) and minimum frame length 57 + 1041 + 2 = 1100. Register 4
    // carries 0b10101 in bits 11-15 and register 11 bits 6-7, which no write may disturb.
    camera_->SetFrequency(40);
    for (std::uint16_t r : {6, 7, 10, 13, 16, 23, 25, 26, 57, 62, 73}) camera_->SetRegister(r, 0);
    SetRegisters({{4, 0xA800 | 100}, {8, 0x1234}, {11, 0x00C8}, {12, 1200}, {14, 57}});
    SetRegisters({{19, 1024}, {21, 1280}});
  }
  // Line length (register 4's low 11 bits) and frame length.
  std::pair<int, int> Lengths() const {
    return {camera_->Register(4) & 0x07FF, camera_->Register(12)};
  }
  std::uint16_t FrameLength() const { return camera_->Register(12); }
};

// ---- Limits ----

TEST_F(FrameTiming, MinimumIsMinimumFrameTimesMinimumLineLengthRatesTheOppositeLimits) {
  std::uint32_t t_min = 0, t_max = 0;
  ASSERT_EQ(kepra_GetFrameTimeMinMax(h(), &t_min, &t_max), 1u);
  EXPECT_EQ(std::tie(t_min, t_max), std::make_tuple(1100u * 82u, kMaxTime));
  camera_->ClearLog();
  double r_min = 0, r_max = 0;
  ASSERT_EQ(kepra_GetFrameRateMinMax(h(), &r_min, &r_max), 1u);
  EXPECT_DOUBLE_EQ(r_min, 0.01863663848708648);
  EXPECT_DOUBLE_EQ(r_max, 27.71695793964799);
  // Snapshot and clock for the limits, then the clock once more for the rates.
  EXPECT_EQ(Ops(), (Words{"BLOCK", "R57", "R73", "F?", "F?"}));
  // A faster clock: h / f stays 1/2 for even clocks, so the line minimum stays 82 at 48 MHz.
  camera_->SetFrequency(48);
  ASSERT_EQ(kepra_GetFrameTimeMinMax(h(), &t_min, &t_max), 1u);
  EXPECT_EQ(t_min, 1100u * 82u);
  EXPECT_TRUE(Writes().empty());
}

// ---- Setting the frame time ----

TEST_F(FrameTiming, SetFrameTimeWritesInOrderAroundRegister11Bit3) {
  ASSERT_EQ(kepra_SetFrameTime(h(), 100000), 1u);
  // 100000 / 82 = 1219.5 rounds up to 1220 = 0x4C4; line length 82 = 0x52 under bits 11-15.
  EXPECT_EQ(Ops(),
            (Words{"BLOCK", "R57", "R73", "F?", "W11=00C0", "W4=A852", "W11=00C8", "W12=04C4"}));
  EXPECT_EQ(camera_->Register(11), 0x00C8);
  // The frame time read back is the product written: 82 x 1220.
  EXPECT_EQ(Value(kepra_GetFrameTime), 100040u);
  EXPECT_DOUBLE_EQ(Value(kepra_GetFrameRate), 24.990699781649827);
  // Below the minimum: the minimum frame length (the clamps themselves are the unit suite's).
  ASSERT_EQ(kepra_SetFrameTime(h(), 50000), 1u);
  EXPECT_EQ(camera_->Register(4), 0xA852);
  EXPECT_EQ(FrameLength(), 1100);
  EXPECT_TRUE(rig_.DebugLines().empty());
}

// ---- The clock ----

TEST_F(FrameTiming, AClockWithZeroLow16BitsNeverReachesADivision) {
  for (std::uint32_t mhz : {0u, 0x10000u, 0x20000u}) {
    SCOPED_TRACE(mhz);
    camera_->SetFrequency(mhz);
    std::uint32_t t = 0, t2 = 0;
    double r = 0, r2 = 0;
    for (const Call& call : {Call{[&] { return kepra_GetFrameTimeMinMax(h(), &t, &t2); }},
                             Call{[&] { return kepra_SetFrameTime(h(), 100000); }},
                             Call{[&] { return kepra_GetFrameRate(h(), &r); }},
                             Call{[&] { return kepra_SetFrameRate(h(), 25.0, nullptr); }},
                             Call{[&] { return kepra_SetMinFrameRate(h()); }}}) {
      kepra_SetLastError(kSentinel);
      EXPECT_TRUE(Failed(call(), KEPRA_ERROR_INVALID_PARAMETER));
    }
    // Only the lines of the callers on the way out.
    EXPECT_EQ(rig_.DebugLines(),
              (Lines{"CxGetFrameTimeMinMax failed", "CxGetFrameRateMinMax failed"}));
    EXPECT_TRUE(Failed(kepra_GetFrameRateMinMax(h(), &r, &r2), KEPRA_ERROR_INVALID_PARAMETER));
    EXPECT_EQ(rig_.DebugLines(), (Lines{"CxGetFrameTimeMinMax failed"}));
    EXPECT_EQ(t + t2, 0u);
    EXPECT_EQ(r + r2, 0.0);
  }
  EXPECT_TRUE(Writes().empty());
}

// ---- Reading the rate ----

TEST_F(FrameTiming, RateReadLengthensTheFrameFirstOnlyWhenRegister62Asks) {
  camera_->SetRegister(12, 1000);  // shorter than the minimum 1100, but bit 4 of 62 is clear
  EXPECT_DOUBLE_EQ(Value(kepra_GetFrameRate), 25.000696061562486);
  EXPECT_EQ(Ops(), (Words{"R62", "BLOCK", "R57", "R73", "F?"}));
  EXPECT_EQ(FrameLength(), 1000);

  // Asked to (bit 4 of 62), the rate read lengthens the frame first.
  camera_->SetRegister(62, 0x0010);
  camera_->ClearLog();
  EXPECT_EQ(Value(kepra_GetFrameTime), 100u * 1000u);  // the frame time alone never writes
  EXPECT_TRUE(Writes().empty());

  camera_->ClearLog();
  EXPECT_DOUBLE_EQ(Value(kepra_GetFrameRate), 22.727905510511352);
  EXPECT_EQ(Ops(), (Words{"R62", "BLOCK", "R57", "R73", "W12=044C", "BLOCK", "R57", "R73", "F?"}));

  // Long enough already: the snapshot is read, nothing written.
  camera_->ClearLog();
  Value(kepra_GetFrameRate);
  EXPECT_TRUE(Writes().empty());

  // An unreadable register 62 counts as "lengthen".
  SetRegisters({{62, 0}, {12, 1050}});
  FailNth(io::IOCTL_SENSOR_REG, 1);
  Value(kepra_GetFrameRate);
  EXPECT_EQ(FrameLength(), 1100);
  EXPECT_TRUE(rig_.DebugLines().empty());
}

TEST_F(FrameTiming, ZeroFrameTimeReadsAsInfiniteRate) {
  for (auto [r4, r12] : {std::pair{0xF800, 1200}, std::pair{100, 0}}) {
    SetRegisters({{4, static_cast<std::uint16_t>(r4)}, {12, static_cast<std::uint16_t>(r12)}});
    EXPECT_EQ(Value(kepra_GetFrameRate), std::numeric_limits<double>::infinity());
  }
}

// ---- Setting the rate ----

TEST_F(FrameTiming, SetFrameRateWritesTheNearestFrameTimeAndReportsTheRateReached) {
  // 40 MHz at 20 fps: 125003.48... units, rounded to 125003; 125003 / 82 = 1524.4 -> 1524,
  // 125003 / 1524 = 82.02 -> 82, 125003 / 82 -> 1524.
  ASSERT_EQ(kepra_SetFrameRate(h(), 20.0, nullptr), 1u);
  EXPECT_EQ(Lengths(), std::pair(82, 1524));
  // Without a pointer nothing is read back: the frame-length write is the last request.
  EXPECT_EQ(Ops().back(), "W12=05F4");

  double reached = 0;
  ASSERT_EQ(kepra_SetFrameRate(h(), 26.0, &reached), 1u);
  // 2500069.6 / 26 = 96156.5 -> 96157; / 82 = 1172.6 -> 1173; / 1173 = 81.98 -> 82; 82 x 1173.
  EXPECT_DOUBLE_EQ(reached, 25.99203216846785);
  EXPECT_NE(reached, 26.0);
  // Faster than the sensor can go: the fastest rate.
  ASSERT_EQ(kepra_SetFrameRate(h(), 1000.0, &reached), 1u);
  EXPECT_DOUBLE_EQ(reached, 27.71695793964799);
}

TEST_F(FrameTiming, RatesWithoutAMeaningfulFrameTimeAreRefused) {
  const double inf = std::numeric_limits<double>::infinity();
  for (double rate : {0.0, -0.0, -25.0, std::numeric_limits<double>::quiet_NaN(), inf, -inf,
                      1e-6,                          // frame time 2.5e12
                      40 * kRate / 4294967296.0}) {  // exactly 2^32
    double reached = -1;
    kepra_SetLastError(kSentinel);
    EXPECT_TRUE(Failed(kepra_SetFrameRate(h(), rate, &reached), KEPRA_ERROR_INVALID_PARAMETER))
        << rate;
    EXPECT_EQ(rig_.DebugLines(), (Lines{"FrameRate is not valid"})) << rate;
    EXPECT_EQ(reached, -1);
  }
  EXPECT_TRUE(Writes().empty());
  // Just inside 32 bits: accepted and clamped to the slowest timing.
  ASSERT_EQ(kepra_SetFrameRate(h(), 40 * kRate / 4294967000.0, nullptr), 1u);
  EXPECT_EQ(Lengths(), std::pair(2047, 65534));
}

TEST_F(FrameTiming, RateLimitsMoveToTheExtremesUnderANestedLock) {
  const auto idx = io::IOCTL_DEVICE_INDEX;
  auto nested = [&] {
    const auto codes = Codes();
    return codes.size() >= 5 && codes[0] == idx && codes[1] == idx && codes.back() == idx &&
           std::count(codes.begin(), codes.end(), idx) == 4;
  };
  ASSERT_EQ(kepra_SetMaxFrameRate(h()), 1u);
  EXPECT_EQ(Lengths(), std::pair(82, 1100));
  EXPECT_TRUE(nested());

  camera_->ClearLog();
  ASSERT_EQ(kepra_SetMinFrameRate(h()), 1u);
  EXPECT_EQ(Lengths(), std::pair(2047, 65534));
  EXPECT_TRUE(nested());
  EXPECT_TRUE(rig_.DebugLines().empty());
}

// Exposure times at line length 100, worked by hand: lines x 100 x 15.999554533002907 (the
// documented tick), truncated. 2 lines: 3199; 65534: 104851480.
// The debug lines of the failure stacks.
const std::string kToLines = "CxExposureTimeToExposure( H, ExposureTime, &Exposure) fail!\n";
const std::string kSetTime = "CxSetExposureTime failed";

using Regs = std::pair<std::uint16_t, std::uint16_t>;

class Exposure : public CameraTest {
 protected:
  void SetUp() override {
    CameraTest::SetUp();
    camera_->SetFrequency(48);
    // Line length 100 under set bits 11-15; a sequential-exposure window whose minimum frame
    // length is the exposure + 11 + 6 + 1000 (window rows) + 2.
    for (std::uint16_t r : {7, 10, 11, 13, 16, 23, 26, 57, 62}) camera_->SetRegister(r, 0);
    SetRegisters({{4, 0xF800 | 100}, {12, 5000}, {14, 1000}, {19, 1000}, {27, 125}});
  }
};

// ---- Limits ----

TEST_F(Exposure, LineLimitsAreFixedAndNeedNoDevice) {
  // Any handle but the invalid one: not even the lock is asked for.
  for (KEPRA_HANDLE handle : {h(), reinterpret_cast<KEPRA_HANDLE>(std::uintptr_t{0x7A5C})}) {
    std::uint32_t lo = 0, hi = 0;
    ASSERT_EQ(kepra_GetExposureMinMax(handle, &lo, &hi), 1u);
    EXPECT_EQ(std::pair(lo, hi), std::pair(2u, 65534u));
  }
  EXPECT_TRUE(camera_->Log().empty());

  std::uint32_t t_lo = 0, t_hi = 0;
  ASSERT_EQ(kepra_GetExposureTimeMinMax(h(), &t_lo, &t_hi), 1u);
  EXPECT_EQ(std::pair(t_lo, t_hi), std::pair(3199u, 104851480u));
  double ms_lo = 0, ms_hi = 0;
  ASSERT_EQ(kepra_GetExposureMinMaxMs(h(), &ms_lo, &ms_hi), 1u);
  EXPECT_DOUBLE_EQ(ms_lo, 3199 / 48000.0);
  EXPECT_DOUBLE_EQ(ms_hi, 104851480 / 48000.0);
}

// ---- Reading and setting, worked examples ----

TEST_F(Exposure, ThousandLinesAtLineLength100And48MHz) {
  EXPECT_EQ(Value(kepra_GetExposure), 1000u);
  EXPECT_EQ(Value(kepra_GetExposureTime), 1599955u);
  EXPECT_DOUBLE_EQ(Value(kepra_GetExposureMs), 33.33239583333334);

  camera_->SetRegister(14, 1);
  ASSERT_EQ(kepra_SetExposureTime(h(), 1599955), 1u);
  EXPECT_EQ(std::pair(camera_->Register(14), camera_->Register(27)), Regs(1000, 125));
  // 800 periods are 0.50001 lines: rounds to 1.
  ASSERT_EQ(kepra_SetExposureTime(h(), 800), 1u);
  EXPECT_EQ(std::pair(camera_->Register(14), camera_->Register(27)), Regs(1, 0));

  // 10 ms: 480000 periods, 300 lines, read back as 9.999708333333333 ms.
  double back = 0;
  ASSERT_EQ(kepra_SetExposureMs(h(), 10.0, &back), 1u);
  EXPECT_EQ(std::pair(camera_->Register(14), camera_->Register(27)), Regs(300, 37));
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
  EXPECT_TRUE(Failed(kepra_SetExposureTime(h(), 0), KEPRA_ERROR_INVALID_PARAMETER));
  EXPECT_EQ(rig_.DebugLines(), (Lines{"ExposureTime is NULL", kToLines}));
  EXPECT_TRUE(WorkRequests().empty());

  // So few milliseconds that the time truncates to 0.
  EXPECT_TRUE(Failed(kepra_SetExposureMs(h(), 0.00001, nullptr), KEPRA_ERROR_INVALID_PARAMETER));
  EXPECT_EQ(rig_.DebugLines(), (Lines{"ExposureTime is NULL", kToLines, kSetTime}));

  // No line length: no division, the callers' lines only.
  camera_->SetRegister(4, 0xF800);
  kepra_SetLastError(kSentinel);
  EXPECT_TRUE(Failed(kepra_SetExposureTime(h(), 480000), KEPRA_ERROR_INVALID_PARAMETER));
  EXPECT_EQ(rig_.DebugLines(), (Lines{kToLines}));
  EXPECT_TRUE(Failed(kepra_SetExposureMs(h(), 10.0, nullptr), KEPRA_ERROR_INVALID_PARAMETER));
  EXPECT_EQ(rig_.DebugLines(), (Lines{kToLines, kSetTime}));
  // Reading still works: zero lines of length 0.
  std::uint32_t t = 7;
  ASSERT_EQ(kepra_GetExposureTime(h(), &t), 1u);
  EXPECT_EQ(t, 0u);
  EXPECT_EQ(camera_->Register(14), 1000);
  EXPECT_TRUE(Writes().empty());
}

// ---- The clock ----

// A clock of 0: the millisecond getters fail, setting no error, but still read the sensor; the
// setter is refused with 87. (A failed clock request is the fault sweep's.)
TEST_F(Exposure, MillisecondsWithoutAClockFailButReadsStillReachTheSensor) {
  camera_->SetFrequency(0);
  double d = 7, d2 = 7;
  const struct {
    Call call;
    Words ops;
  } cases[] = {
      {[&] { return kepra_GetExposureMs(h(), &d); }, {"F?", "R14", "R4"}},
      {[&] { return kepra_GetExposureFramerateMaxMs(h(), &d); }, {"F?", "R19", "R26", "R4"}},
      {[&] { return kepra_GetExposureMinMaxMs(h(), &d, &d2); }, {"F?", "R4", "R4"}},
  };
  for (const auto& c : cases) {
    camera_->ClearLog();
    kepra_SetLastError(kSentinel);
    EXPECT_TRUE(Failed(c.call(), kSentinel));
    EXPECT_TRUE(rig_.DebugLines().empty());
    EXPECT_EQ(Ops(), c.ops);
  }
  EXPECT_EQ(d + d2, 14.0);
  EXPECT_TRUE(Failed(kepra_SetExposureMs(h(), 10.0, nullptr), KEPRA_ERROR_INVALID_PARAMETER));
  EXPECT_EQ(rig_.DebugLines(), (Lines{"ExposureTime is NULL", kToLines, kSetTime}));
  EXPECT_EQ(camera_->Register(14), 1000);
}

// ---- Locks and the pause ----

TEST_F(Exposure, ConversionsTakeTheLockOnceMoreInsideTheExports) {
  const auto idx = io::IOCTL_DEVICE_INDEX, reg = io::IOCTL_SENSOR_REG, f = io::IOCTL_FREQUENCY;
  Value(kepra_GetExposureTime);
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
  auto setter = std::async(std::launch::async, [&] {
    double back = 0;
    return kepra_SetExposureMs(h(), 20.0, &back);
  });
  const auto wrote_27 = [&] {
    return std::ranges::any_of(Ops(), [](const std::string& op) { return op.starts_with("W27="); });
  };
  while (!wrote_27() && setter.wait_for(0s) != std::future_status::ready) std::this_thread::yield();
  // How long it waited depends on the scheduler; where its write lands does not.
  ASSERT_EQ(kepra_WriteSensorReg(h(), 0x100, 1), 1u);
  EXPECT_EQ(setter.get(), 1u);
  EXPECT_EQ(Ops().back(), "W256=0001");
  EXPECT_EQ(camera_->Register(14), 600);
}

// ---- Arguments ----

TEST_F(Exposure, MillisecondsBeyondThirtyTwoBitsOfTimeAreRefusedOnceTheClockIsKnown) {
  // 48 MHz: 89478.48 ms are 2^32 periods.
  kepra_SetLastError(kSentinel);
  EXPECT_TRUE(Failed(kepra_SetExposureMs(h(), 89478.49, nullptr), KEPRA_ERROR_INVALID_PARAMETER));
  EXPECT_EQ(rig_.DebugLines(), (Lines{"ExposureMs is not valid"}));
  EXPECT_EQ(Ops(), (Words{"F?"}));
  // Just below: accepted; the line count wraps into 1..65534 like any other.
  ASSERT_EQ(kepra_SetExposureMs(h(), 89478.0, nullptr), 1u);
  // 4294944000 periods / 1599.955... per line = 2684415 lines, which wraps to 63055.
  EXPECT_EQ(camera_->Register(14), 63055);
}

}  // namespace
}  // namespace kt
