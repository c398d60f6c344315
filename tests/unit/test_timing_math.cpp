#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>

#include "core/timing_math.h"

namespace kepra::core {
namespace {

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

TEST(MinFrameLength, FieldsMasksAndWrap) {
  TimingRegs r{};
  // Nothing set: 11 + 6 (register 7 bit 8 clear) + 2 = 19, sequential.
  EXPECT_EQ(CxCalcMinFrameLength(r), 19);
  // Register 7 bit 8 drops the 6 lines: 11 + 2 = 13.
  r.r7 = 0x0100;
  EXPECT_EQ(CxCalcMinFrameLength(r), 13);
  r.r7 = 0;
  // Register 57 bits 12-14 add 0..7 lines; bit 15 and the low bits add none: 19 + 7 = 26.
  r.r57 = 0xFFFF;
  EXPECT_EQ(CxCalcMinFrameLength(r), 26);
  r.r57 = 0x8FFF;
  EXPECT_EQ(CxCalcMinFrameLength(r), 19);
  r.r57 = 0;
  // Register 16 counts with bits 0-10 only: 0x0805 adds 5.
  r.r16 = 0x0805;
  EXPECT_EQ(CxCalcMinFrameLength(r), 24);
  r.r16 = 0;
  // Mode overhead P = 2^b0 x (b7 + 2 b0 + b6): b6 alone 1, b6 + b7 2, b0 b6 b7 2 x 4 = 8.
  r.r10 = 0x0040;
  EXPECT_EQ(CxCalcMinFrameLength(r), 20);
  r.r10 = 0x00C0;
  EXPECT_EQ(CxCalcMinFrameLength(r), 21);
  r.r10 = 0x00C1;  // bit 0 also scales the (empty) window
  EXPECT_EQ(CxCalcMinFrameLength(r), 27);
  r.r10 = 0;
  // Readout mode 1 cancels overlap whatever other bits of register 11 are set (0x0015 has
  // bit 0 too); 10 + 100 + 17 + 2 = 129 sequential, max(10 + 17 + 1, 101) = 101 overlapped.
  r.r13 = 10;
  r.r14 = 100;
  r.r11 = 0x0015;
  EXPECT_EQ(CxCalcMinFrameLength(r), 129);
  r.r11 = 0x0035;  // mode 3
  EXPECT_EQ(CxCalcMinFrameLength(r), 101);
  r.r11 = 0x0005;  // mode 0
  EXPECT_EQ(CxCalcMinFrameLength(r), 101);
  // Kept to 16 bits: 65535 + 0 + 17 + 2 = 65554 -> 18; overlapped 65535 + 1 = 65536 -> 0.
  r.r13 = 0;
  r.r14 = 65535;
  r.r11 = 0;
  EXPECT_EQ(CxCalcMinFrameLength(r), 18);
  r.r11 = 0x0004;
  EXPECT_EQ(CxCalcMinFrameLength(r), 0);
  // The ten-value form agrees with the record form.
  EXPECT_EQ(
      CxCalcMinFrameLength(r.r7, r.r10, r.r11, r.r13, r.r14, r.r16, r.r19, r.r23, r.r26, r.r57), 0);
}

TEST(MinFrameLength, GrowsByOneLinePerExposureLineWhenSequential) {
  std::mt19937 rng(5u);
  for (int i = 0; i < 2000; ++i) {
    TimingRegs r{};
    r.r7 = static_cast<uint16_t>(rng() & 0x0500);
    r.r10 = static_cast<uint16_t>(rng() & 0x00C1);
    r.r11 = static_cast<uint16_t>(rng() & 0x0030);  // bit 2 clear: sequential
    r.r13 = static_cast<uint16_t>(rng() % 2000);
    r.r16 = static_cast<uint16_t>(rng());
    r.r19 = static_cast<uint16_t>(rng());
    r.r23 = static_cast<uint16_t>(rng());
    r.r26 = static_cast<uint16_t>(rng());
    r.r14 = static_cast<uint16_t>(rng() % 30000);
    const uint16_t before = CxCalcMinFrameLength(r);
    ++r.r14;
    ASSERT_EQ(CxCalcMinFrameLength(r), before + 1) << i;
    // Overlapped, a long exposure alone decides: exposure + 1.
    r.r11 |= 0x0004;
    if ((r.r11 & 0x0030) == 0x0010) continue;
    r.r14 = 40000;
    ASSERT_EQ(CxCalcMinFrameLength(r), 40001) << i;
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

TEST(MinLineLength, RegisterSeventyThreeByReadoutModeAndRegisterSixHighByte) {
  // F = 40: h = 20, f = 40. An empty line window is raised to 1028, so B = 514 + 20 = 534.
  // A = (1064 + r6 high byte) x 20 / 40 + 2 Y + 72.
  TimingRegs r{};
  r.r73 = 0x20FF;
  r.r11 = 0x0000;  // mode 0: Y = high byte 32: A = 532 + 64 + 72 = 668 -> 668 / 8 = 83
  EXPECT_EQ(CxCalcMinLineLength(r, 40), 83);
  r.r11 = 0x0010;  // mode 1: Y = low byte 255: A = 532 + 510 + 72 = 1114 -> 139
  EXPECT_EQ(CxCalcMinLineLength(r, 40), 139);
  r.r11 = 0x0020;  // mode 2: the low byte as well
  EXPECT_EQ(CxCalcMinLineLength(r, 40), 139);
  r.r11 = 0x0030;  // mode 3: Y = 3: A = 532 + 6 + 72 = 610 -> 76
  EXPECT_EQ(CxCalcMinLineLength(r, 40), 76);
  // High byte 0x20 of register 6: (1064 + 32) x 20 / 40 = 548; A = 548 + 6 + 72 = 626 -> 78.
  r.r6 = 0x20FF;
  EXPECT_EQ(CxCalcMinLineLength(r, 40), 78);
  // h and f are F >> 1 and F, each cut to 16 bits: F = 0x10028 gives h = 32788 and f = 40;
  // A = 1064 x 32788 / 40 + 78 = 872238 -> 20270 (mod 65536), B = 842651 + 32788 = 875439 ->
  // 23471; 23471 / 8 = 2933.
  r.r6 = 0;
  EXPECT_EQ(CxCalcMinLineLength(r, 0x10028), 2933);
  EXPECT_EQ(CxCalcMinLineLength(r.r6, r.r7, r.r10, r.r11, r.r21, r.r25, r.r26, r.r73, 0x10028),
            2933);
}

TEST(MinLineLength, IsTheSameAtEveryEvenClock) {
  // Both parts scale by h / f, exactly one half for an even clock: max(604, 660) / 8 = 82.
  TimingRegs r{};
  r.r25 = 1280;
  uint16_t previous = CxCalcMinLineLength(r, 4);
  for (uint32_t f = 4; f <= 114; f += 2) {
    const uint16_t now = CxCalcMinLineLength(r, f);
    EXPECT_EQ(now, 82) << f;  // even clocks: h / f is exactly one half
    EXPECT_EQ(now, previous) << f;
    previous = now;
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

TEST(SplitFrameTime, StaysWithinTheLimitsAndNearTheRequest) {
  std::mt19937 rng(99u);
  for (int i = 0; i < 20000; ++i) {
    const auto fl_min = static_cast<uint16_t>(1 + rng() % 3000);
    const auto ll_min = static_cast<uint16_t>(1 + rng() % 300);
    const uint32_t t = i % 8 == 0 ? static_cast<uint32_t>(rng()) : rng() % 140000000u;
    const FrameTimeSplit s = SplitFrameTime(t, fl_min, ll_min);
    const uint32_t t_min = uint32_t{fl_min} * ll_min;
    ASSERT_EQ(s.clamped_time, std::min(std::max(t, t_min), kMaxFrameTime)) << t;
    ASSERT_GE(s.line_length, ll_min) << t;
    ASSERT_LE(s.line_length, 2047) << t;
    ASSERT_GE(s.frame_length, fl_min) << t;
    ASSERT_LE(s.frame_length, 65534) << t;
    // Unless a limit intervened or the quotient wrapped, the frame length is the nearest for
    // the line length.
    const double product = static_cast<double>(s.line_length) * s.frame_length;
    if (s.frame_length > fl_min && s.clamped_time < 65534.0 * s.line_length) {
      ASSERT_LE(std::abs(product - s.clamped_time), s.line_length / 2.0) << t;
    }
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

TEST(FrameRate, RateAndFrameTimeRoundTrip) {
  // The minimum rate truncated back gives one unit less than the maximum frame time.
  EXPECT_EQ(FrameTimeFromRateTruncated(40, FrameRateFromTime(40, kMaxFrameTime)),
            kMaxFrameTime - 1);
  // 40 x 62501.74 / 26 = 96156.52 -> 96157 rounded, 96156 truncated.
  EXPECT_EQ(FrameTimeFromRateRounded(40, 26.0), 96157u);
  EXPECT_EQ(FrameTimeFromRateTruncated(40, 26.0), 96156u);
  std::mt19937 rng(3u);
  for (int i = 0; i < 20000; ++i) {
    const uint32_t f = 4 + rng() % 111;
    const uint32_t t = 1 + rng() % kMaxFrameTime;
    const double rate = FrameRateFromTime(f, t);
    ASSERT_EQ(FrameTimeFromRateRounded(f, rate), t) << f << ' ' << t;
    const uint32_t truncated = FrameTimeFromRateTruncated(f, rate);
    ASSERT_TRUE(truncated == t || truncated + 1 == t) << f << ' ' << t;
    // A longer frame is a lower rate.
    ASSERT_LT(FrameRateFromTime(f, t + 1), rate) << f << ' ' << t;
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
