#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "core/exposure_math.h"
#include "core/timing_math.h"

namespace kepra::core {
namespace {

// ---------------------------------------------------------------------------------------------
// Lines and exposure time

TEST(ExposureLinesAndTime, WorkedExampleWithLineLength100) {
  // 1000 × 100 × 15.9995545... = 1599955.45..., truncated.
  EXPECT_EQ(ExposureLinesToTime(1000, 100), 1599955u);
  EXPECT_EQ(ExposureTimeToLines(1599955, 100), 1000u);
  // 800 / 1599.9554533002907 = 0.50001..., halves and above go up; 799 stays below.
  EXPECT_EQ(ExposureTimeToLines(800, 100), 1u);
  EXPECT_EQ(ExposureTimeToLines(799, 100), 0u);
  // No line length: zero lines rather than a division by zero.
  EXPECT_EQ(ExposureTimeToLines(1599955, 0xF800), 0u);
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

// ---------------------------------------------------------------------------------------------
// Milliseconds

TEST(ExposureMilliseconds, WorkedExamplesAt48MHz) {
  EXPECT_EQ(ExposureTimeToMs(1599955, 48), 33.33239583333334);
  // 10 ms → 480000 periods → 300 lines → 479986 periods → 9.999708333333333 ms.
  const uint32_t time = ExposureMsToTime(48, 10.0);
  EXPECT_EQ(time, 480000u);
  const uint32_t lines = ExposureTimeToLines(time, 100);
  EXPECT_EQ(lines, 300u);
  const uint32_t back = ExposureLinesToTime(lines, 100);
  EXPECT_EQ(back, 479986u);
  EXPECT_EQ(ExposureTimeToMs(back, 48), 9.999708333333333);
}

TEST(ExposureMilliseconds, MillisecondsToTimeTruncates) {
  // 48 × 0.00001 × 1000 = 0.48, which truncates to a zero exposure time.
  EXPECT_EQ(ExposureMsToTime(48, 0.00001), 0u);
  EXPECT_EQ(ExposureMsToTime(0, 10.0), 0u);
  // Beyond 32 bits the low bits are kept: 48e9 − 11 × 2^32.
  EXPECT_EQ(ExposureMsToTime(48, 1e6), 48000000000ull - 11ull * 4294967296ull);
}

TEST(ExposureMilliseconds, ZeroClockDoesNotDivide) {
  EXPECT_EQ(ExposureTimeToMs(100, 0), std::numeric_limits<double>::infinity());
  EXPECT_TRUE(std::isnan(ExposureTimeToMs(0, 0)));
  EXPECT_EQ(ExposureTimeToMs(0, 48), 0.0);
}

TEST(ExposureMilliseconds, Validity) {
  EXPECT_TRUE(ExposureMsValid(48, 10.0));
  EXPECT_TRUE(ExposureMsValid(48, 0.0));  // gives time 0, which the setter refuses itself
  EXPECT_FALSE(ExposureMsValid(48, -0.5));
  EXPECT_FALSE(ExposureMsValid(48, std::numeric_limits<double>::quiet_NaN()));
  EXPECT_FALSE(ExposureMsValid(48, std::numeric_limits<double>::infinity()));
  EXPECT_FALSE(ExposureMsValid(48, -std::numeric_limits<double>::infinity()));
  // 48 × 89478.485 × 1000 = 4294967280 fits; 48 × 89478.4854 × 1000 ≈ 4294967299 does not.
  EXPECT_TRUE(ExposureMsValid(48, 89478.485));
  EXPECT_FALSE(ExposureMsValid(48, 89478.4854));
  EXPECT_FALSE(ExposureMsValid(48, 1e6));
  EXPECT_TRUE(ExposureMsValid(0, 1e300));  // a zero clock gives time 0, refused later
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

// ---------------------------------------------------------------------------------------------
// Exposure registers

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

// ---------------------------------------------------------------------------------------------
// Frame information record

void PutLe16(std::vector<unsigned char>& buf, size_t at, uint16_t v) {
  buf[at] = static_cast<unsigned char>(v & 0xFF);
  buf[at + 1] = static_cast<unsigned char>(v >> 8);
}

std::vector<unsigned char> Record(size_t shift, uint16_t freq, uint16_t a, uint16_t b) {
  std::vector<unsigned char> buf(4066 + shift, 0xAA);  // the documented minimum size
  PutLe16(buf, shift + 4048, freq);
  PutLe16(buf, shift + 4060, a);
  PutLe16(buf, shift + 4064, b);
  return buf;
}

TEST(FrameExposure, WorkedExampleRecord) {
  const auto rec = Record(0, 48, 1000, 100);
  EXPECT_EQ(FrameExposureMs(rec.data()), 33.33239583333334);
  // The two factors may come in either order.
  const auto swapped = Record(0, 48, 100, 1000);
  EXPECT_EQ(FrameExposureMs(swapped.data()), 33.33239583333334);
  // Little-endian fields at any alignment.
  const auto shifted = Record(3, 48, 1000, 100);
  EXPECT_EQ(FrameExposureMs(shifted.data() + 3), 33.33239583333334);
}

TEST(FrameExposure, BogusRecordGivesZero) {
  const auto rec = Record(0, 0, 1000, 100);
  EXPECT_EQ(FrameExposureMs(rec.data()), 0.0);
  EXPECT_EQ(FrameExposureMs(nullptr), 0.0);
}

}  // namespace
}  // namespace kepra::core
