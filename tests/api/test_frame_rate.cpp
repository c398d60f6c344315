// Frame time and frame rate through the public API.
#include <algorithm>
#include <cmath>
#include <limits>

#include "fixture.h"

namespace kt {
namespace {

// A rate is the clock in MHz times 62501.74015390621 (the documented frames per second per
// MHz for a frame time of one unit), divided by the frame time; worked by hand at 40 MHz.
constexpr double kRate = 62501.74015390621;
constexpr std::uint32_t kMaxTime = 134148098;

// The timing registers as a plain record, for setting up the camera.
struct Timing {
  std::uint16_t r4, r6, r7, r8, r10, r11, r12, r13, r14, r16, r19, r21, r23, r25, r26, r57, r62,
      r73;
};

// A 1280-column, 1024-row window at 40 MHz, sequential exposure of 57 lines: minimum line
// length 82 (max(604, 660) / 8) and minimum frame length 57 + 1041 + 2 = 1100. Register 4
// carries 0b10101 in bits 11-15 and register 11 bits 6-7, which no write may disturb.
constexpr Timing kBase{/*r4=*/0xA800 | 100, /*r6=*/0,       /*r7=*/0,     /*r8=*/0x1234,
                       /*r10=*/0,           /*r11=*/0x00C8, /*r12=*/1200, /*r13=*/0,
                       /*r14=*/57,          /*r16=*/0,      /*r19=*/1024, /*r21=*/1280,
                       /*r23=*/0,           /*r25=*/0,      /*r26=*/0,    /*r57=*/0,
                       /*r62=*/0,           /*r73=*/0};

class FrameTiming : public CameraTest {
 protected:
  void SetTiming(const Timing& t) {
    const std::uint16_t numbers[] = {4,  6,  7,  8,  10, 11, 12, 13, 14,
                                     16, 19, 21, 23, 25, 26, 57, 62, 73};
    const std::uint16_t values[] = {t.r4,  t.r6,  t.r7,  t.r8,  t.r10, t.r11, t.r12, t.r13, t.r14,
                                    t.r16, t.r19, t.r21, t.r23, t.r25, t.r26, t.r57, t.r62, t.r73};
    for (std::size_t i = 0; i < std::size(numbers); ++i)
      camera_->SetRegister(numbers[i], values[i]);
  }
  void SetUp() override {
    CameraTest::SetUp();
    camera_->SetFrequency(40);
    SetTiming(kBase);
  }
  std::uint16_t LineLength() const { return camera_->Register(4) & 0x07FF; }
  std::uint16_t FrameLength() const { return camera_->Register(12); }
};

// ---- Limits ----

TEST_F(FrameTiming, MinimumIsMinimumFrameTimesMinimumLineLengthMaximumIsFixed) {
  std::uint32_t t_min = 0, t_max = 0;
  ASSERT_EQ(kepra_GetFrameTimeMinMax(h(), &t_min, &t_max), 1u);
  EXPECT_EQ(t_min, 1100u * 82u);
  EXPECT_EQ(t_max, kMaxTime);
  // A faster clock: h / f stays 1/2 for even clocks, so the line minimum stays 82 at 48 MHz.
  camera_->SetFrequency(48);
  ASSERT_EQ(kepra_GetFrameTimeMinMax(h(), &t_min, &t_max), 1u);
  EXPECT_EQ(t_min, 1100u * 82u);
  EXPECT_TRUE(Writes().empty());
}

TEST_F(FrameTiming, RateLimitsBelongToTheOppositeTimeLimits) {
  double r_min = 0, r_max = 0;
  ASSERT_EQ(kepra_GetFrameRateMinMax(h(), &r_min, &r_max), 1u);
  EXPECT_DOUBLE_EQ(r_min, 0.01863663848708648);
  EXPECT_DOUBLE_EQ(r_max, 27.71695793964799);
  // Snapshot and clock for the limits, then the clock once more for the rates.
  EXPECT_EQ(Ops(), (Words{"BLOCK", "R57", "R73", "F?", "F?"}));
}

// ---- Setting the frame time ----

TEST_F(FrameTiming, SetFrameTimeClampsAndRoundsToLineAndFrameLength) {
  const struct {
    std::uint32_t request;
    std::uint16_t ll, fl;
  } cases[] = {
      {50000, 82, 1100},            // below the minimum: the minimum
      {100000, 82, 1220},           // 100000 / 82 = 1219.5 rounds up
      {kMaxTime + 1, 2047, 65534},  // above the maximum: the maximum
  };
  for (const auto& c : cases) {
    SetTiming(kBase);
    ASSERT_EQ(kepra_SetFrameTime(h(), c.request), 1u) << c.request;
    EXPECT_EQ(LineLength(), c.ll) << c.request;
    EXPECT_EQ(FrameLength(), c.fl) << c.request;
    EXPECT_EQ(camera_->Register(4) & 0xF800, 0xA800) << "bits 11-15 kept, " << c.request;
  }
  EXPECT_TRUE(rig_.DebugLines().empty());

  // The frame time read back is the product actually written.
  ASSERT_EQ(kepra_SetFrameTime(h(), 100000), 1u);
  std::uint32_t t = 0;
  ASSERT_EQ(kepra_GetFrameTime(h(), &t), 1u);
  EXPECT_EQ(t, 100040u);
  double rate = 0;
  ASSERT_EQ(kepra_GetFrameRate(h(), &rate), 1u);
  EXPECT_DOUBLE_EQ(rate, 24.990699781649827);
}

TEST_F(FrameTiming, WritesGoOutInOrderAroundRegister11Bit3) {
  ASSERT_EQ(kepra_SetFrameTime(h(), 100000), 1u);
  // Line length 82 = 0x52 under bits 11-15 of 0xA800; frame length 1220 = 0x4C4.
  EXPECT_EQ(Ops(),
            (Words{"BLOCK", "R57", "R73", "F?", "W11=00C0", "W4=A852", "W11=00C8", "W12=04C4"}));
  EXPECT_EQ(camera_->Register(11), 0x00C8);
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
      EXPECT_EQ(call(), 0u);
      EXPECT_EQ(kepra_GetLastError(), KEPRA_ERROR_INVALID_PARAMETER);
    }
    // Only the lines of the callers on the way out.
    EXPECT_EQ(rig_.DebugLines(),
              (Lines{"CxGetFrameTimeMinMax failed", "CxGetFrameRateMinMax failed"}));
    EXPECT_EQ(kepra_GetFrameRateMinMax(h(), &r, &r2), 0u);
    EXPECT_EQ(kepra_GetLastError(), KEPRA_ERROR_INVALID_PARAMETER);
    EXPECT_EQ(rig_.DebugLines(), (Lines{"CxGetFrameTimeMinMax failed"}));
    EXPECT_EQ(t + t2, 0u);
    EXPECT_EQ(r + r2, 0.0);
  }
  EXPECT_TRUE(Writes().empty());
}

// ---- Reading the rate ----

TEST_F(FrameTiming, RateReadDoesOneRegisterReadWhenTheFrameMayNotGrow) {
  camera_->SetRegister(12, 1000);  // shorter than the minimum 1100, but bit 4 of 62 is clear
  double rate = 0;
  ASSERT_EQ(kepra_GetFrameRate(h(), &rate), 1u);
  EXPECT_EQ(Ops(), (Words{"R62", "BLOCK", "R57", "R73", "F?"}));
  EXPECT_DOUBLE_EQ(rate, 25.000696061562486);
  EXPECT_EQ(FrameLength(), 1000);
}

TEST_F(FrameTiming, RateReadLengthensTheFrameFirstWhenAsked) {
  SetRegisters({{62, 0x0010}, {12, 1000}});
  std::uint32_t t = 0;
  ASSERT_EQ(kepra_GetFrameTime(h(), &t), 1u);  // the frame time alone never writes
  EXPECT_EQ(t, 100u * 1000u);
  EXPECT_TRUE(Writes().empty());

  camera_->ClearLog();
  double rate = 0;
  ASSERT_EQ(kepra_GetFrameRate(h(), &rate), 1u);
  EXPECT_EQ(Ops(), (Words{"R62", "BLOCK", "R57", "R73", "W12=044C", "BLOCK", "R57", "R73", "F?"}));
  EXPECT_DOUBLE_EQ(rate, 22.727905510511352);

  // Long enough already: the snapshot is read, nothing written.
  camera_->ClearLog();
  ASSERT_EQ(kepra_GetFrameRate(h(), &rate), 1u);
  EXPECT_TRUE(Writes().empty());

  // An unreadable register 62 counts as "lengthen".
  SetRegisters({{62, 0}, {12, 1050}});
  FailNth(io::IOCTL_SENSOR_REG, 1);
  ASSERT_EQ(kepra_GetFrameRate(h(), &rate), 1u);
  EXPECT_EQ(FrameLength(), 1100);
  EXPECT_TRUE(rig_.DebugLines().empty());
}

TEST_F(FrameTiming, ZeroFrameTimeReadsAsInfiniteRate) {
  for (auto [r4, r12] : {std::pair{0xF800, 1200}, std::pair{100, 0}}) {
    SetRegisters({{4, static_cast<std::uint16_t>(r4)}, {12, static_cast<std::uint16_t>(r12)}});
    double rate = 0;
    ASSERT_EQ(kepra_GetFrameRate(h(), &rate), 1u);
    EXPECT_TRUE(std::isinf(rate) && rate > 0);
  }
}

// ---- Setting the rate ----

TEST_F(FrameTiming, SetFrameRateWritesTheNearestFrameTimeAndReportsTheRateReached) {
  // 40 MHz at 20 fps: 125003.48... units, rounded to 125003; 125003 / 82 = 1524.4 -> 1524,
  // 125003 / 1524 = 82.02 -> 82, 125003 / 82 -> 1524.
  ASSERT_EQ(kepra_SetFrameRate(h(), 20.0, nullptr), 1u);
  EXPECT_EQ(LineLength(), 82);
  EXPECT_EQ(FrameLength(), 1524);
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
    EXPECT_EQ(kepra_SetFrameRate(h(), rate, &reached), 0u) << rate;
    EXPECT_EQ(kepra_GetLastError(), KEPRA_ERROR_INVALID_PARAMETER) << rate;
    EXPECT_EQ(rig_.DebugLines(), (Lines{"FrameRate is not valid"})) << rate;
    EXPECT_EQ(reached, -1);
  }
  EXPECT_TRUE(Writes().empty());
  // Just inside 32 bits: accepted and clamped to the slowest timing.
  ASSERT_EQ(kepra_SetFrameRate(h(), 40 * kRate / 4294967000.0, nullptr), 1u);
  EXPECT_EQ(LineLength(), 2047);
  EXPECT_EQ(FrameLength(), 65534);
}

TEST_F(FrameTiming, RateLimitsMoveToTheExtremesUnderANestedLock) {
  const auto idx = io::IOCTL_DEVICE_INDEX;
  auto nested = [&] {
    const auto codes = Codes();
    return codes.size() >= 5 && codes[0] == idx && codes[1] == idx && codes.back() == idx &&
           std::count(codes.begin(), codes.end(), idx) == 4;
  };
  ASSERT_EQ(kepra_SetMaxFrameRate(h()), 1u);
  EXPECT_EQ(LineLength(), 82);
  EXPECT_EQ(FrameLength(), 1100);
  EXPECT_TRUE(nested());

  camera_->ClearLog();
  ASSERT_EQ(kepra_SetMinFrameRate(h()), 1u);
  EXPECT_EQ(LineLength(), 2047);
  EXPECT_EQ(FrameLength(), 65534);
  EXPECT_TRUE(nested());
  EXPECT_TRUE(rig_.DebugLines().empty());
}

}  // namespace
}  // namespace kt
