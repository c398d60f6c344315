// The pure arithmetic of the library: frame timing, exposure, gain codes, snapshot values,
// events, the stream's frame counters; each against hand-worked examples and properties. The values
// these give the camera's registers are the API suite's (its gain, strobe and snapshot tests).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <utility>
#include <vector>

#include "core/exposure_math.h"
#include "core/gain_math.h"
#include "core/strobe_math.h"
#include "core/timing_math.h"
#include "stream/stream_math.h"

// The tables name only the registers a case sets; the others are 0 on purpose.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace kepra::core {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// ---- frame timing ----------------------------------------------------------------------------

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

TEST(MinFrameLength, WorkedExamplesFieldsMasksAndWrap) {
  const struct {
    TimingRegs r;
    uint16_t lines;
  } cases[] = {
      // Nothing set: 11 + 6 (register 7 bit 8 clear) + 2 = 19, sequential.
      {{}, 19},
      // Register 7 bit 8 drops the 6 lines: 11 + 2 = 13.
      {{.r7 = 0x0100}, 13},
      // Register 57 bits 12-14 add 0..7 lines; bit 15 and the low bits add none: 19 + 7 = 26.
      {{.r57 = 0xFFFF}, 26},
      {{.r57 = 0x8FFF}, 19},
      // Register 16 counts with bits 0-10 only: 0x0805 adds 5.
      {{.r16 = 0x0805}, 24},
      // Mode overhead P = 2^b0 x (b7 + 2 b0 + b6): b6 alone 1, b6 + b7 2, b0 b6 b7 2 x 4 = 8
      // (bit 0 also scales the empty window).
      {{.r10 = 0x0040}, 20},
      {{.r10 = 0x00C0}, 21},
      {{.r10 = 0x00C1}, 27},
      // Bit 2 of register 11 with readout mode 1 stays sequential: 10 + 100 + 5 + 17 + 2; mode 2
      // overlaps: max(10 + 5 + 17 + 1, 100 + 1).
      {{.r11 = 0x0014, .r13 = 10, .r14 = 100, .r16 = 5}, 134},
      {{.r11 = 0x0024, .r13 = 10, .r14 = 100, .r16 = 5}, 101},
      // Overlapped with a long exposure: exposure + 1, whatever the window; sequential, the
      // window adds its lines: 10 + 3000 + 5 + 17 + 1024 + 2.
      {{.r11 = 0x0024, .r13 = 10, .r14 = 3000, .r16 = 5, .r23 = 1024}, 3001},
      {{.r11 = 0x0014, .r13 = 10, .r14 = 3000, .r16 = 5, .r23 = 1024}, 4058},
      // Readout mode 1 cancels overlap whatever other bits of register 11 are set (0x0015 has
      // bit 0 too): 10 + 100 + 17 + 2 = 129 sequential; modes 3 and 0 overlap: max(28, 101).
      {{.r11 = 0x0015, .r13 = 10, .r14 = 100}, 129},
      {{.r11 = 0x0035, .r13 = 10, .r14 = 100}, 101},
      {{.r11 = 0x0005, .r13 = 10, .r14 = 100}, 101},
      // Kept to 16 bits: 65535 + 0 + 17 + 2 = 65554 -> 18; overlapped 65535 + 1 = 65536 -> 0.
      {{.r14 = 65535}, 18},
      {{.r11 = 0x0004, .r14 = 65535}, 0},
  };
  for (const auto& [r, lines] : cases) {
    EXPECT_EQ(CxCalcMinFrameLength(r), lines) << lines;
    // The ten-value form agrees with the record form.
    EXPECT_EQ(
        CxCalcMinFrameLength(r.r7, r.r10, r.r11, r.r13, r.r14, r.r16, r.r19, r.r23, r.r26, r.r57),
        lines);
  }
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

TEST(MinLineLength, IsTheSameAtEveryEvenClockAndZeroForAnUnusableOne) {
  // h = F / 2: A = 1064 × h / F + 72 = 604, B = 1280 × h / F + 40 × h / F = 660; 660 / 8 = 82.
  TimingRegs r{};
  r.r25 = 1280;
  for (uint32_t f = 4; f <= 114; f += 2) EXPECT_EQ(CxCalcMinLineLength(r, f), 82) << f;
  EXPECT_EQ(CxCalcMinLineLength(0, 0, 0, 0, 0, 1280, 0, 0, 40), 82);
  // No division by a clock whose low 16 bits are zero.
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
  const struct {
    TimingRegs r;
    uint32_t clock;
    uint16_t length;
  } cases[] = {
      // Mode 0: Y = high byte 32: A = 532 + 64 + 72 = 668 -> 668 / 8 = 83.
      {{.r11 = 0x0000, .r73 = 0x20FF}, 40, 83},
      // Modes 1 and 2: Y = low byte 255: A = 532 + 510 + 72 = 1114 -> 139.
      {{.r11 = 0x0010, .r73 = 0x20FF}, 40, 139},
      {{.r11 = 0x0020, .r73 = 0x20FF}, 40, 139},
      // Mode 3: Y = 3: A = 532 + 6 + 72 = 610 -> 76.
      {{.r11 = 0x0030, .r73 = 0x20FF}, 40, 76},
      // High byte 0x20 of register 6: (1064 + 32) x 20 / 40 = 548; A = 548 + 6 + 72 = 626 -> 78.
      {{.r6 = 0x20FF, .r11 = 0x0030, .r73 = 0x20FF}, 40, 78},
      // h and f are F >> 1 and F, each cut to 16 bits: F = 0x10028 gives h = 32788 and f = 40;
      // A = 1064 x 32788 / 40 + 78 = 872238 -> 20270 (mod 65536), B = 842651 + 32788 = 875439
      // -> 23471; 23471 / 8 = 2933.
      {{.r11 = 0x0030, .r73 = 0x20FF}, 0x10028, 2933},
  };
  for (const auto& [r, clock, length] : cases) {
    EXPECT_EQ(CxCalcMinLineLength(r, clock), length) << length;
    EXPECT_EQ(CxCalcMinLineLength(r.r6, r.r7, r.r10, r.r11, r.r21, r.r25, r.r26, r.r73, clock),
              length);
  }
}

TEST(RoundToReg16, HalvesAwayFromZeroThenLow16BitsAndZeroOutsideInt64) {
  EXPECT_EQ(RoundToReg16(2.5), 3);
  EXPECT_EQ(RoundToReg16(0.49999999999999994), 0);  // x + 0.5 would round this up
  EXPECT_EQ(RoundToReg16(-2.5), 65536 - 3);
  EXPECT_EQ(RoundToReg16(65535.5), 0);  // 65536 wraps, no saturation
  // Largest double below 2^63 still converts: 2^63 − 1024 ends in 0xFC00.
  EXPECT_EQ(RoundToReg16(9223372036854774784.0), 0xFC00);
  for (double x : {9223372036854775808.0, -1e300, kInf, kNaN}) {
    EXPECT_EQ(RoundToInt64Bits(x), 0x8000000000000000u) << x;
    EXPECT_EQ(TruncToInt64Bits(x), 0x8000000000000000u) << x;
  }
  EXPECT_EQ(TruncToInt64Bits(-2.9), static_cast<uint64_t>(-2LL));
}

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

// The rates reached for worked frame times and the refusals of meaningless rates are the API
// suite's (FrameTiming); here the zeros, rounding against truncation and the edges near 2^32.
TEST(FrameRate, ZerosRoundingAndTheEdgesOfThirtyTwoBits) {
  EXPECT_EQ(FrameRateFromTime(40, 0), kInf);
  EXPECT_TRUE(std::isnan(FrameRateFromTime(0, 0)));
  // A zero rate never divides; it gives 0.
  EXPECT_EQ(FrameTimeFromRateRounded(40, 0.0), 0u);
  EXPECT_EQ(FrameTimeFromRateTruncated(40, 0.0), 0u);
  // The minimum rate truncated back gives one unit less than the maximum frame time.
  EXPECT_EQ(FrameTimeFromRateTruncated(40, FrameRateFromTime(40, kMaxFrameTime)),
            kMaxFrameTime - 1);
  // 40 x 62501.74 / 26 = 96156.52 -> 96157 rounded, 96156 truncated.
  EXPECT_EQ(FrameTimeFromRateRounded(40, 26.0), 96157u);
  EXPECT_EQ(FrameTimeFromRateTruncated(40, 26.0), 96156u);
  // A frame time that rounds up to 2^32 would wrap; 1e9 rounds to 0, which the setter clamps.
  for (double bad : {std::numeric_limits<double>::denorm_min(), 40.0 * kRateConstant / 1e12,
                     40.0 * kRateConstant / 4294967295.7}) {
    EXPECT_FALSE(FrameRateRequestValid(40, bad)) << bad;
  }
  for (double good :
       {1e9, FrameRateFromTime(40, kMaxFrameTime), 40.0 * kRateConstant / 4294967295.3}) {
    EXPECT_TRUE(FrameRateRequestValid(40, good)) << good;
  }
}

TEST(FrameRate, RateAndFrameTimeRoundTrip) {
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

// ---- exposure --------------------------------------------------------------------------------

// The worked example (1000 lines at line length 100 and 48 MHz, 800 periods, 10 ms) is the API
// suite's (Exposure.ThousandLinesAtLineLength100And48MHz); here the edges around it.
TEST(Exposure, EdgesZerosAndValidity) {
  // 800 / 1599.9554533002907 = 0.50001... lines goes up; 799 stays below.
  EXPECT_EQ(ExposureTimeToLines(799, 100), 0u);
  // No line length: zero lines rather than a division by zero.
  EXPECT_EQ(ExposureTimeToLines(1599955, 0xF800), 0u);
  // 48 × 0.00001 × 1000 = 0.48, which truncates to a zero exposure time.
  EXPECT_EQ(ExposureMsToTime(48, 0.00001), 0u);
  EXPECT_EQ(ExposureMsToTime(0, 10.0), 0u);
  // Beyond 32 bits the low bits are kept: 48e9 − 11 × 2^32.
  EXPECT_EQ(ExposureMsToTime(48, 1e6), 48000000000ull - 11ull * 4294967296ull);
  // A zero clock does not divide.
  EXPECT_EQ(ExposureTimeToMs(100, 0), kInf);
  EXPECT_TRUE(std::isnan(ExposureTimeToMs(0, 0)));
  EXPECT_EQ(ExposureTimeToMs(0, 48), 0.0);
  // 0 gives time 0, which the setter refuses itself; 48 × 89478.485 × 1000 = 4294967280 fits;
  // a zero clock gives time 0 whatever the value; 48 × 89478.4854 × 1000 ≈ 4294967299 does not.
  for (double good : {10.0, 0.0, 89478.485}) EXPECT_TRUE(ExposureMsValid(48, good)) << good;
  EXPECT_TRUE(ExposureMsValid(0, 1e300));
  for (double bad : {-0.5, kNaN, kInf, -kInf, 89478.4854, 1e6}) {
    EXPECT_FALSE(ExposureMsValid(48, bad)) << bad;
  }
}

TEST(ExposureLinesAndTime, LinesRoundTripAndTimeGrowsWithLines) {
  std::mt19937 rng(11u);
  for (int i = 0; i < 20000; ++i) {
    const auto reg4 = static_cast<uint16_t>(rng());  // bits 11-15 are not the line length
    const uint32_t length = reg4 & 0x07FFu;
    if (length == 0) continue;
    const uint32_t lines = rng() % 65536;
    const uint32_t time = ExposureLinesToTime(lines, reg4);
    ASSERT_EQ(ExposureTimeToLines(time, reg4), lines) << lines << ' ' << reg4;
    ASSERT_GE(ExposureLinesToTime(lines + 1, reg4), time + length * 15) << lines << ' ' << reg4;
  }
}

TEST(ExposureMilliseconds, TimeAndMillisecondsRoundTripWithinOnePeriod) {
  std::mt19937 rng(12u);
  for (int i = 0; i < 20000; ++i) {
    const uint32_t f = 4 + rng() % 111;
    const double ms = (rng() % 2000000) / 1000.0;
    const double back = ExposureTimeToMs(ExposureMsToTime(f, ms), f);
    // Truncated to whole periods of the clock: at most one period short.
    ASSERT_LE(back, ms * (1 + 1e-15)) << f << ' ' << ms;
    ASSERT_GE(back, ms - 1.0 / (f * 1000.0) - 1e-9) << f << ' ' << ms;
  }
}

TEST(ExposureRegisters, EveryRequestLandsInOneTo65534) {
  const struct {
    uint32_t exposure;
    uint16_t reg14;
    uint16_t reg27;
  } cases[] = {{65535, 1, 0}, {0, 4, 0},   {65534, 65534, 8191},  {1, 1, 0},     {65536, 2, 0},
               {2, 2, 0},     {16, 16, 2}, {131068, 65534, 8191}, {131069, 1, 0}};
  for (const auto& c : cases) {
    const uint16_t v = ExposureRegisterValue(c.exposure);
    EXPECT_EQ(v, c.reg14) << c.exposure;
    EXPECT_EQ(ExposureReg27(v), c.reg27) << c.exposure;
  }
  // 4294967294 = 65534 × 65538 + 2.
  EXPECT_EQ(ExposureRegisterValue(0xFFFFFFFFu), 3);
  for (uint32_t e = 0; e < 300000; e += 7) {
    const uint16_t v = ExposureRegisterValue(e);
    ASSERT_GE(v, 1) << e;
    ASSERT_LE(v, 65534) << e;
  }
}

TEST(ExposureRegisters, FramerateLimitedMaximum) {
  EXPECT_EQ(ExposureFramerateMax(1000, 0), 1008u);
  EXPECT_EQ(ExposureFramerateMax(1000, 8), 508u);
  EXPECT_EQ(ExposureFramerateMax(1000, 0xFF00), 1008u);  // high byte of register 26 unused
  // Register 19 is used whole, not masked to 11 bits, and the result is not cut to 16 bits.
  EXPECT_EQ(ExposureFramerateMax(0xFFFF, 0), 65535u + 8u);
  EXPECT_EQ(ExposureFramerateMax(0xFFFF, 0xFF), 65535u * 8u / 263u + 8u);
}

// A frame-information record of the documented minimum size, `shift` bytes into its buffer,
// with the clock and the two exposure factors little-endian at 4048, 4060 and 4064.
std::vector<unsigned char> Record(size_t shift, uint16_t freq, uint16_t a, uint16_t b) {
  std::vector<unsigned char> buf(4066 + shift, 0xAA);
  const std::pair<size_t, uint16_t> fields[] = {{4048, freq}, {4060, a}, {4064, b}};
  for (const auto& [at, v] : fields) {
    buf[shift + at] = static_cast<unsigned char>(v & 0xFF);
    buf[shift + at + 1] = static_cast<unsigned char>(v >> 8);
  }
  return buf;
}

TEST(FrameExposure, WorkedExampleRecordAndBogusOnes) {
  EXPECT_EQ(FrameExposureMs(Record(0, 48, 1000, 100).data()), 33.33239583333334);
  // The two factors may come in either order, the fields at any alignment.
  EXPECT_EQ(FrameExposureMs(Record(0, 48, 100, 1000).data()), 33.33239583333334);
  EXPECT_EQ(FrameExposureMs(Record(3, 48, 1000, 100).data() + 3), 33.33239583333334);
  EXPECT_EQ(FrameExposureMs(Record(0, 0, 1000, 100).data()), 0.0);
  EXPECT_EQ(FrameExposureMs(nullptr), 0.0);
}

// ---- gain ------------------------------------------------------------------------------------

// Independent decoding: the analog codes are seven steps; a fine code is (1 + m / 64) x the
// scale of its coarse step k.
double RefAnalog(int c) {
  constexpr double kSteps[7] = {1.0, 1.5, 2.0, 3.0, 4.0, 6.0, 8.0};
  return kSteps[c];
}
double RefFactor(int code, double base_scale) {
  return (1.0 + (code % 64) / 64.0) * base_scale * std::pow(2.0, code / 64);
}
double RefDigital(int c) { return RefFactor(c, 1.0); }
double RefColour(int c) { return RefFactor(c, 0.25); }

// Brute-force nearest code over a factor table; a tie goes to the higher factor.
int NearestCode(double x, int count, double (*factor)(int)) {
  int best = 0;
  for (int c = 1; c < count; ++c) {
    if (std::fabs(factor(c) - x) <= std::fabs(factor(best) - x)) best = c;
  }
  return best;
}

// Every code decodes to the independent factor and encodes back; the exact midpoint between
// neighbours takes the higher code, a hair below it the lower; other factors the nearest code.
TEST(GainCodes, EveryCodeRoundTripsAndFactorsGoToTheNearestCodeHalvesUp) {
  const struct {
    const char* name;
    double (*factor)(std::uint8_t);
    std::uint8_t (*code)(double);
    double (*ref)(int);
    int count;
    double low, high;
  } scales[] = {{"analog", AnalogGainFactor, AnalogGainCode, RefAnalog, 7, 0.5, 10.0},
                {"digital", DigitalGainFactor, DigitalGainCode, RefDigital, 256, 1.0, 15.9375},
                {"colour", ColourGainFactor, ColourGainCode, RefColour, 256, 0.25, 3.984375}};
  std::mt19937 rng(2u);
  for (const auto& g : scales) {
    SCOPED_TRACE(g.name);
    for (int c = 0; c < g.count; ++c) {
      const auto code = static_cast<uint8_t>(c);
      EXPECT_EQ(g.factor(code), g.ref(c)) << c;
      EXPECT_EQ(g.code(g.factor(code)), code) << c;
      if (c + 1 < g.count) {
        const double midpoint = (g.ref(c) + g.ref(c + 1)) / 2.0;
        EXPECT_EQ(g.code(midpoint), c + 1) << c;
        EXPECT_EQ(g.code(std::nextafter(midpoint, 0.0)), c) << c;
      }
    }
    std::uniform_real_distribution<double> dist(g.low, g.high);
    for (int i = 0; i < 20000; ++i) {
      const double x = dist(rng);
      ASSERT_EQ(g.code(x), NearestCode(x, g.count, g.ref)) << x;
    }
  }
}

// Factors outside the scales are clamped, NaN to the top; the documented codes and registers
// of worked factors are the API suite's (Gain.AnalogAndDigitalShareRegister17,
// Gain.ColourGainsFillRegisters54And55). Analog code 7 reads as 8, codes from 8 on as 0.
TEST(GainCodes, ClampOutsideTheScalesAndUnwrittenAnalogCodes) {
  for (double low : {0.5, -kInf}) {
    EXPECT_EQ(DigitalGainCode(low), 0x00) << low;
    EXPECT_EQ(ColourGainCode(low / 4), 0x00) << low;
  }
  for (double high : {15.9375, 100.0, kInf, kNaN}) {
    EXPECT_EQ(DigitalGainCode(high), 0xFF) << high;
    EXPECT_EQ(ColourGainCode(high / 4), 0xFF) << high;
    EXPECT_EQ(AnalogGainCode(high), 6) << high;
  }
  EXPECT_EQ(AnalogGainFactor(7), 8.0);
  for (int c = 8; c < 256; ++c) EXPECT_EQ(AnalogGainFactor(static_cast<uint8_t>(c)), 0.0) << c;
}

// ---- snapshot and events -------------------------------------------------------------

// Inverted, the timeout is sent negated; 0 then stands for 2^31 (0x80000000).
TEST(Snapshot, EveryTimeoutUpTo0x7FFFFFFFReadsBackAsSet) {
  EXPECT_EQ(EncodeSnapshot(0x7FFFFFFF, true), 0x80000001u);
  EXPECT_EQ(EncodeSnapshot(1, true), 0xFFFFFFFFu);
  EXPECT_EQ(EncodeSnapshot(0x7FFFFFFF, false), 0x7FFFFFFFu);
  std::mt19937 rng(11);
  std::vector<std::uint32_t> timeouts = {0, 1, 2, 499, 500, 0x7FFFFFFE, 0x7FFFFFFF};
  for (int i = 0; i < 2000; ++i) timeouts.push_back(rng() & 0x7FFFFFFF);
  for (std::uint32_t t : timeouts) {
    for (bool inverted : {false, true}) {
      const SnapshotParams back = DecodeSnapshot(EncodeSnapshot(t, inverted));
      ASSERT_EQ(back.timeout_ms, t) << t << " " << inverted;
      ASSERT_EQ(back.inverted, inverted) << t << " " << inverted;
    }
  }
}

// Bit by bit: one selected by Mask (bits 0-3 only) takes the bit of Bit; one not selected keeps
// the state unless Bit has it set, which clears it.
TEST(EventsState, WorkedExamples) {
  EXPECT_EQ(NextEventsState(0x25, 0x01, 0x03), 0x25);  // 0, 1 from Bit (1, 0); the rest kept
  EXPECT_EQ(NextEventsState(0x25, 0x02, 0x03), 0x26);  // 0, 1 from Bit (0, 1)
  EXPECT_EQ(NextEventsState(0x35, 0x11, 0xF0), 0x24);  // none selected: 0 and 4 cleared
  EXPECT_EQ(NextEventsState(0x0F, 0xFA, 0x0F), 0x0A);  // 0-3 from Bit; 4-7 not set in the state
  EXPECT_EQ(NextEventsState(0xF0, 0x00, 0xFF), 0xF0);  // 4-7 of Mask select nothing
  EXPECT_EQ(NextEventsState(0xF0, 0x30, 0x00), 0xC0);
}

// A frame-information record with the given event count and bytes; the bytes before the events
// are filled with a pattern that would match if they were searched.
std::vector<std::uint8_t> Events(const std::vector<std::uint8_t>& events, std::size_t count) {
  std::vector<std::uint8_t> record(std::max<std::size_t>(48 + events.size(), 4096), 0x05);
  record[26] = static_cast<std::uint8_t>(count);
  record[27] = static_cast<std::uint8_t>(count >> 8);
  std::copy(events.begin(), events.end(), record.begin() + 48);
  return record;
}

TEST(FindEvent, SearchesOnlyTheCountedEventsForTheMaskedBits) {
  const auto record = Events({0x00, 0x05, 0x07}, 3);
  EXPECT_EQ(FindEvent(record.data(), 0x05, 0x05), 1);
  EXPECT_EQ(FindEvent(record.data(), 0x05, 0x00), 0);  // no bit compared: the first matches
  EXPECT_EQ(FindEvent(record.data(), 0x02, 0x02), 2);
  EXPECT_EQ(FindEvent(record.data(), 0x08, 0x08), -1);
  EXPECT_EQ(FindEvent(record.data(), 0xF4, 0x04), 1);  // bits of Bit outside Mask do not count
  EXPECT_EQ(FindEvent(Events({0x05, 0x05}, 0).data(), 0x05, 0x05), -1);
  EXPECT_EQ(FindEvent(Events({0x00, 0x00, 0x05}, 2).data(), 0x05, 0x05), -1);
  // The count is 16 bits little-endian: with only the low byte of 300 (44) the match at 299
  // would be out of reach.
  std::vector<std::uint8_t> events(300, 0x00);
  events[299] = 0x80;
  EXPECT_EQ(FindEvent(Events(events, 300).data(), 0x80, 0x80), 299);
  EXPECT_EQ(FindEvent(Events(events, 44).data(), 0x80, 0x80), -1);
}

TEST(FindEvent, ACountBeyondTheRecordSearchesOnlyTheRecord) {
  // Found by fuzzing: a count of 0xFFFF read past a 4096-byte record.
  std::vector<std::uint8_t> record(4096, 0x00);
  record[26] = 0xFF;
  record[27] = 0xFF;
  record[48 + 3999] = 0x01;
  EXPECT_EQ(FindEvent(record.data(), 0x01, 0x01), 3999);
  EXPECT_EQ(FindEvent(record.data(), 0x02, 0x02), -1);
}

// ---- the stream's frame counters --------------------------------------------------------------

TEST(FrameCounters, TheWindowTellsGapsLateFramesRepeatsAndRestarts) {
  using kepra::stream::Receive;
  kepra::stream::CounterWindow w;
  auto step = Receive(w, 10);  // the first frame: nothing skipped
  EXPECT_EQ(step.gap, 0u);
  step = Receive(w, 13);  // 11 and 12 counted as skipped
  EXPECT_EQ(step.gap, 2u);
  step = Receive(w, 12);  // came late: fills a gap
  EXPECT_TRUE(step.fills);
  EXPECT_FALSE(step.repeat);
  EXPECT_TRUE(Receive(w, 12).repeat);
  step = Receive(w, 10);  // three behind the newest, received before
  EXPECT_TRUE(step.repeat);
  EXPECT_FALSE(step.fills);
  EXPECT_TRUE(Receive(w, 11).fills);
  // 70 ahead: 69 skipped, and the window holds only the newest.
  EXPECT_EQ(Receive(w, 83).gap, 69u);
  EXPECT_TRUE(Receive(w, 82).fills);
  // Far behind the newest: the camera counts again from there.
  step = Receive(w, 2);
  EXPECT_EQ(step.gap, 0u);
  EXPECT_FALSE(step.fills || step.repeat);
  EXPECT_EQ(Receive(w, 3).gap, 0u);
  // Across the wrap.
  kepra::stream::CounterWindow wrap;
  Receive(wrap, 0xFFFFFFFE);
  EXPECT_EQ(Receive(wrap, 1).gap, 2u);
  EXPECT_TRUE(Receive(wrap, 0xFFFFFFFF).fills);
  EXPECT_TRUE(Receive(wrap, 0xFFFFFFFE).repeat);
}

}  // namespace
}  // namespace kepra::core
