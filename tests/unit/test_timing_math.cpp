#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>

#include "../api/timing_reference.h"
#include "core/timing_math.h"

namespace kepra::core {
namespace {

// The independent reference the API suite uses as well.
int64_t RefMinFrameLength(const TimingRegs& r) { return timing_ref::MinFrameLength(r); }
int64_t RefMinLineLength(const TimingRegs& r, int64_t f) { return timing_ref::MinLineLength(r, f); }
FrameTimeSplit RefSplit(int64_t t, int64_t fl_min, int64_t ll_min) {
  const timing_ref::Split s = timing_ref::SplitTime(t, fl_min, ll_min);
  return {static_cast<uint16_t>(s.ll), static_cast<uint16_t>(s.fl), static_cast<uint32_t>(s.t)};
}

// ---------------------------------------------------------------------------------------------
// Window term and minimum frame length

TEST(WindowTerm, WorkedExamples) {
  // Divisor 8 (register 26 high byte 0), register 19 = 0, register 23 = 1024: 1024.
  EXPECT_EQ(FrameWindowTerm(/*r7=*/0, /*r10=*/0, /*r19=*/0, /*r23=*/1024, /*r26=*/0), 1024);
  // Register 7 bit 10 (or register 10 bit 0) alone with 1023: 2 × (511 + 0) = 1022.
  EXPECT_EQ(FrameWindowTerm(0x0400, 0, 0, 1023, 0), 1022);
  EXPECT_EQ(FrameWindowTerm(0, 0x0001, 0, 1023, 0), 1022);
  // Both scaling bits: the frame term is register 7 bit 8, the line term the readout mode,
  // which the minimum line length raises to 1028 like any window below it.
  EXPECT_EQ(FrameWindowTerm(0x0400, 0x0001, 2000, 2000, 0), 0);
  EXPECT_EQ(FrameWindowTerm(0x0500, 0x0001, 2000, 2000, 0), 1);
  EXPECT_EQ(LineWindowTerm(0x0400, 0x0001, 0x0030, 2000, 2000, 0), 3);
}

TEST(MinFrameLength, WorkedExamples) {
  TimingRegs r{};
  r.r13 = 10;
  r.r14 = 100;
  r.r16 = 5;
  const int sequential = 10 + 100 + 5 + 17 + 2;
  const int overlapped = std::max(10 + 5 + 17 + 1, 100 + 1);
  // Bit 2 of register 11 with readout mode 1 stays sequential; mode 2 overlaps.
  r.r11 = 0x0014;
  EXPECT_EQ(CxCalcMinFrameLength(r), sequential);
  r.r11 = 0x0024;
  EXPECT_EQ(CxCalcMinFrameLength(r), overlapped);
  // Overlapped with a long exposure: exposure + 1, whatever the window.
  r.r14 = 3000;
  EXPECT_EQ(CxCalcMinFrameLength(r), 3001);
  r.r23 = 1024;
  EXPECT_EQ(CxCalcMinFrameLength(r), 3001);
  // Sequential: each further line of exposure adds one line.
  r.r11 = 0x0014;
  EXPECT_EQ(CxCalcMinFrameLength(r), 10 + 3000 + 5 + 17 + 1024 + 2);
  r.r14 = 3001;
  EXPECT_EQ(CxCalcMinFrameLength(r), 10 + 3001 + 5 + 17 + 1024 + 2);
}

TEST(MinFrameLength, MatchesPlainReimplementationOnRandomStates) {
  std::mt19937 rng(20240611u);
  std::uniform_int_distribution<uint32_t> any16(0, 0xFFFF);
  for (int i = 0; i < 200000; ++i) {
    TimingRegs r{};
    uint16_t* fields[] = {&r.r4,  &r.r6,  &r.r7,  &r.r8,  &r.r10, &r.r11, &r.r12, &r.r13, &r.r14,
                          &r.r16, &r.r19, &r.r21, &r.r23, &r.r25, &r.r26, &r.r57, &r.r73};
    for (uint16_t* field : fields) *field = static_cast<uint16_t>(any16(rng));
    // Keep the exposure and frame registers small half of the time so no wrap hides errors.
    if (i % 2 == 0) {
      r.r13 = static_cast<uint16_t>(r.r13 % 3000);
      r.r14 = static_cast<uint16_t>(r.r14 % 3000);
    }
    ASSERT_EQ(CxCalcMinFrameLength(r), RefMinFrameLength(r)) << "state " << i;
    ASSERT_EQ(
        CxCalcMinFrameLength(r.r7, r.r10, r.r11, r.r13, r.r14, r.r16, r.r19, r.r23, r.r26, r.r57),
        RefMinFrameLength(r))
        << "state " << i;
  }
}

// ---------------------------------------------------------------------------------------------
// Minimum line length

TEST(MinLineLength, WorkedExampleAt40MHz) {
  // h = 20, f = 40: A = 1064 × 20 / 40 + 72 = 604, B = 1280 × 20 / 40 + 40 × 20 / 40 = 660.
  TimingRegs r{};
  r.r25 = 1280;
  EXPECT_EQ(CxCalcMinLineLength(r, 40), 82);
  EXPECT_EQ(CxCalcMinLineLength(0, 0, 0, 0, 0, 1280, 0, 0, 40), 82);
}

TEST(MinLineLength, UnusableFrequencyGivesZeroInsteadOfDividing) {
  TimingRegs r{};
  r.r25 = 1280;
  for (uint32_t f : {0u, 0x10000u, 0x30000u, 0xFFFF0000u}) {
    EXPECT_FALSE(FrequencyUsable(f)) << f;
    EXPECT_EQ(CxCalcMinLineLength(r, f), 0) << f;
  }
  EXPECT_TRUE(FrequencyUsable(1));
  EXPECT_TRUE(FrequencyUsable(0x10001));
}

TEST(MinLineLength, MatchesPlainReimplementationOnRandomStates) {
  std::mt19937 rng(7u);
  std::uniform_int_distribution<uint32_t> any16(0, 0xFFFF);
  std::uniform_int_distribution<uint32_t> clock(1, 200);
  std::uniform_int_distribution<uint32_t> any32(0, 0xFFFFFFFFu);
  for (int i = 0; i < 200000; ++i) {
    TimingRegs r{};
    uint16_t* fields[] = {&r.r4,  &r.r6,  &r.r7,  &r.r8,  &r.r10, &r.r11, &r.r12, &r.r13, &r.r14,
                          &r.r16, &r.r19, &r.r21, &r.r23, &r.r25, &r.r26, &r.r57, &r.r73};
    for (uint16_t* field : fields) *field = static_cast<uint16_t>(any16(rng));
    uint32_t freq = (i % 4 == 0) ? any32(rng) : clock(rng);
    if ((freq & 0xFFFF) == 0) freq |= 1;
    ASSERT_EQ(CxCalcMinLineLength(r, freq), RefMinLineLength(r, freq))
        << "state " << i << " F " << freq;
    ASSERT_EQ(CxCalcMinLineLength(r.r6, r.r7, r.r10, r.r11, r.r21, r.r25, r.r26, r.r73, freq),
              RefMinLineLength(r, freq))
        << "state " << i;
  }
}

// ---------------------------------------------------------------------------------------------
// Double to register conversion

TEST(RoundToReg16, HalvesAwayFromZeroThenLow16BitsAndZeroOutsideInt64) {
  EXPECT_EQ(RoundToReg16(2.5), 3);
  EXPECT_EQ(RoundToReg16(0.49999999999999994), 0);  // x + 0.5 would round this up
  EXPECT_EQ(RoundToReg16(-2.5), 65536 - 3);
  EXPECT_EQ(RoundToReg16(65535.5), 0);  // 65536 wraps, no saturation
  // Largest double below 2^63 still converts: 2^63 − 1024 ends in 0xFC00.
  EXPECT_EQ(RoundToReg16(9223372036854774784.0), 0xFC00);
  const double nan = std::numeric_limits<double>::quiet_NaN();
  for (double x : {9223372036854775808.0, -1e300, std::numeric_limits<double>::infinity(), nan}) {
    EXPECT_EQ(RoundToInt64Bits(x), 0x8000000000000000u) << x;
    EXPECT_EQ(TruncToInt64Bits(x), 0x8000000000000000u) << x;
  }
  EXPECT_EQ(TruncToInt64Bits(-2.9), static_cast<uint64_t>(-2LL));
}

// ---------------------------------------------------------------------------------------------
// Splitting a frame time

TEST(SplitFrameTime, WorkedExamplesWithMinimums1100And82) {
  const struct {
    uint32_t request, clamped;
    uint16_t ll, fl;
  } cases[] = {
      {50000, 90200, 82, 1100},  // below Tmin
      {100000, 100000, 82, 1220},
      {134148098, 134148098, 2047, 65534},
      {134148099, kMaxFrameTime, 2047, 65534},
      {0xFFFFFFFFu, kMaxFrameTime, 2047, 65534},
  };
  for (const auto& c : cases) {
    const FrameTimeSplit s = SplitFrameTime(c.request, 1100, 82);
    EXPECT_EQ(s.line_length, c.ll) << c.request;
    EXPECT_EQ(s.frame_length, c.fl) << c.request;
    EXPECT_EQ(s.clamped_time, c.clamped) << c.request;
  }
  // A line-length minimum of 0 (unusable clock) must not divide; the result is simply invalid.
  const FrameTimeSplit s = SplitFrameTime(1000, 0, 0);
  EXPECT_EQ(s.line_length, 0);
  EXPECT_EQ(s.frame_length, 0);
}

TEST(SplitFrameTime, MatchesPlainReimplementation) {
  std::mt19937 rng(99u);
  std::uniform_int_distribution<uint32_t> fl_dist(1, 65535);
  std::uniform_int_distribution<uint32_t> ll_dist(1, 8191);
  std::uniform_int_distribution<uint32_t> small_fl(1, 3000);
  std::uniform_int_distribution<uint32_t> small_ll(1, 300);
  std::uniform_int_distribution<uint32_t> any32(0, 0xFFFFFFFFu);
  std::uniform_int_distribution<uint32_t> in_range(0, 140000000u);
  for (int i = 0; i < 300000; ++i) {
    const bool small = i % 2 == 0;
    const auto fl_min = static_cast<uint16_t>(small ? small_fl(rng) : fl_dist(rng));
    const auto ll_min = static_cast<uint16_t>(small ? small_ll(rng) : ll_dist(rng));
    const uint32_t t = (i % 8 == 0) ? any32(rng) : in_range(rng);
    const FrameTimeSplit got = SplitFrameTime(t, fl_min, ll_min);
    const FrameTimeSplit want = RefSplit(t, fl_min, ll_min);
    ASSERT_EQ(got.clamped_time, want.clamped_time) << t << ' ' << fl_min << ' ' << ll_min;
    ASSERT_EQ(got.line_length, want.line_length) << t << ' ' << fl_min << ' ' << ll_min;
    ASSERT_EQ(got.frame_length, want.frame_length) << t << ' ' << fl_min << ' ' << ll_min;
  }
}

// ---------------------------------------------------------------------------------------------
// Frame rate

TEST(FrameRate, WorkedExamplesAndZeros) {
  EXPECT_EQ(FrameRateFromTime(40, 90200), 40.0 * 62501.74015390621 / 90200.0);
  EXPECT_NEAR(FrameRateFromTime(40, 90200), 27.717, 0.0005);
  EXPECT_NEAR(FrameRateFromTime(40, kMaxFrameTime), 0.018637, 0.0000005);
  EXPECT_EQ(FrameRateFromTime(40, 0), std::numeric_limits<double>::infinity());
  EXPECT_TRUE(std::isnan(FrameRateFromTime(0, 0)));
  // A zero rate never divides; it gives 0.
  EXPECT_EQ(FrameTimeFromRateRounded(40, 0.0), 0u);
  EXPECT_EQ(FrameTimeFromRateTruncated(40, 0.0), 0u);
}

TEST(FrameRate, EvaluatesClockTimesConstantFirst) {
  // F × C / x must be computed left to right in double; F × (C / x) differs in the last bit
  // often enough to change a truncated frame time.
  std::mt19937 rng(3u);
  std::uniform_int_distribution<uint32_t> clock(4, 114);
  std::uniform_real_distribution<double> rates(0.02, 5000.0);
  std::uniform_int_distribution<uint32_t> times(1, kMaxFrameTime);
  for (int i = 0; i < 100000; ++i) {
    const uint32_t f = clock(rng);
    // Rates of whole frame times give quotients next to integers, where the order shows.
    const double rate =
        (i % 2 == 0) ? rates(rng)
                     : static_cast<double>(f) * 62501.74015390621 / static_cast<double>(times(rng));
    const double quotient = static_cast<double>(f) * 62501.74015390621 / rate;
    ASSERT_EQ(FrameTimeFromRateTruncated(f, rate), static_cast<uint32_t>(quotient))
        << f << ' ' << rate;
    ASSERT_EQ(FrameTimeFromRateRounded(f, rate), static_cast<uint32_t>(std::llround(quotient)))
        << f << ' ' << rate;
    const uint32_t t = times(rng);
    ASSERT_EQ(FrameRateFromTime(f, t),
              static_cast<double>(f) * 62501.74015390621 / static_cast<double>(t));
  }
}

TEST(FrameRate, RequestValidity) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  EXPECT_FALSE(FrameRateRequestValid(40, 0.0));
  EXPECT_FALSE(FrameRateRequestValid(40, -0.0));
  EXPECT_FALSE(FrameRateRequestValid(40, -27.7));
  EXPECT_FALSE(FrameRateRequestValid(40, nan));
  EXPECT_FALSE(FrameRateRequestValid(40, inf));
  EXPECT_FALSE(FrameRateRequestValid(40, -inf));
  EXPECT_FALSE(FrameRateRequestValid(40, std::numeric_limits<double>::denorm_min()));
  EXPECT_TRUE(FrameRateRequestValid(40, 27.7));
  EXPECT_TRUE(FrameRateRequestValid(40, 1e9));  // rounds to 0, then clamped to the minimum
  EXPECT_TRUE(FrameRateRequestValid(40, FrameRateFromTime(40, kMaxFrameTime)));
  // Frame times near 2^32: one that rounds up to 2^32 would wrap, so it is refused.
  EXPECT_TRUE(FrameRateRequestValid(40, 40.0 * kRateConstant / 4294967000.0));
  EXPECT_TRUE(FrameRateRequestValid(40, 40.0 * kRateConstant / 4294967295.3));
  EXPECT_FALSE(FrameRateRequestValid(40, 40.0 * kRateConstant / 4294967295.7));
  EXPECT_FALSE(FrameRateRequestValid(40, 40.0 * kRateConstant / 4294967296.0));
  EXPECT_FALSE(FrameRateRequestValid(40, 40.0 * kRateConstant / 1e12));
}

}  // namespace
}  // namespace kepra::core
