#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>

#include "core/gain_math.h"

namespace kepra::core {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Independent decoding: factor = (1 + m / 64) × scale of the coarse step.
double RefFactor(int code, double base_scale) {
  const int k = code / 64;
  const int m = code % 64;
  return (1.0 + m / 64.0) * base_scale * std::pow(2.0, k);
}

// Brute-force nearest code over a factor table; a tie goes to the higher factor.
int NearestCode(double x, int count, double (*factor)(int)) {
  int best = 0;
  for (int c = 1; c < count; ++c) {
    if (std::fabs(factor(c) - x) <= std::fabs(factor(best) - x)) best = c;
  }
  return best;
}

double RefDigital(int c) { return RefFactor(c, 1.0); }
double RefColour(int c) { return RefFactor(c, 0.25); }
double RefAnalog(int c) {
  constexpr double kSteps[7] = {1.0, 1.5, 2.0, 3.0, 4.0, 6.0, 8.0};
  return kSteps[c];
}

// ---------------------------------------------------------------------------------------------
// Analog gain

TEST(AnalogGain, BoundaryExamples) {
  EXPECT_EQ(AnalogGainCode(1.2), 0);
  EXPECT_EQ(AnalogGainCode(1.25), 1);
  EXPECT_EQ(AnalogGainCode(6.99), 5);
  EXPECT_EQ(AnalogGainCode(7.0), 6);
  EXPECT_EQ(AnalogGainCode(100.0), 6);
  // Each midpoint belongs to the higher step.
  const double midpoints[] = {1.25, 1.75, 2.5, 3.5, 5.0, 7.0};
  for (int i = 0; i < 6; ++i) {
    EXPECT_EQ(AnalogGainCode(midpoints[i]), i + 1) << midpoints[i];
    EXPECT_EQ(AnalogGainCode(std::nextafter(midpoints[i], 0.0)), i) << midpoints[i];
  }
}

TEST(AnalogGain, DecodeTableIncludingUnwrittenCodes) {
  const double expected[] = {1.0, 1.5, 2.0, 3.0, 4.0, 6.0, 8.0, 8.0};
  for (int c = 0; c < 8; ++c) EXPECT_EQ(AnalogGainFactor(static_cast<uint8_t>(c)), expected[c]);
  for (int c = 8; c < 256; ++c) EXPECT_EQ(AnalogGainFactor(static_cast<uint8_t>(c)), 0.0) << c;
}

TEST(AnalogGain, WrittenCodesRoundTripAndFactorsGoToNearest) {
  std::mt19937 rng(1u);
  std::uniform_real_distribution<double> dist(0.5, 10.0);
  for (int i = 0; i < 20000; ++i) {
    const double x = dist(rng);
    ASSERT_EQ(AnalogGainCode(x), NearestCode(x, 7, RefAnalog)) << x;
  }
}

// ---------------------------------------------------------------------------------------------
// Digital gain

TEST(DigitalGain, BoundaryExamples) {
  EXPECT_EQ(DigitalGainCode(0.5), 0x00);
  EXPECT_EQ(DigitalGainCode(1.0), 0x00);
  EXPECT_EQ(DigitalGainCode(1.99), 0x3F);
  EXPECT_EQ(DigitalGainFactor(0x3F), 1.984375);
  EXPECT_EQ(DigitalGainCode(1.9921875), 0x40);
  EXPECT_EQ(DigitalGainCode(2.0), 0x40);
  EXPECT_EQ(DigitalGainFactor(0x40), 2.0);
  EXPECT_EQ(DigitalGainCode(10.0), 0xD0);
  EXPECT_EQ(DigitalGainFactor(0xD0), 10.0);
  EXPECT_EQ(DigitalGainCode(15.875), 0xFF);
  EXPECT_EQ(DigitalGainCode(15.9375), 0xFF);
  EXPECT_EQ(DigitalGainCode(100.0), 0xFF);
  EXPECT_EQ(DigitalGainFactor(0xFF), 15.875);
}

// ---------------------------------------------------------------------------------------------
// Colour gain

TEST(ColourGain, BoundaryExamples) {
  EXPECT_EQ(ColourGainCode(0.2), 0x00);
  EXPECT_EQ(ColourGainCode(0.25), 0x00);
  EXPECT_EQ(ColourGainFactor(0x00), 0.25);
  EXPECT_EQ(ColourGainCode(1.0), 0x80);
  EXPECT_EQ(ColourGainCode(1.3), 0x93);
  EXPECT_EQ(ColourGainFactor(0x93), 1.296875);
  EXPECT_EQ(ColourGainCode(2.0), 0xC0);
  EXPECT_EQ(ColourGainCode(3.96875), 0xFF);
  EXPECT_EQ(ColourGainCode(3.99), 0xFF);
  EXPECT_EQ(ColourGainCode(4.0), 0xFF);
  EXPECT_EQ(ColourGainFactor(0xFF), 3.96875);
}

// The two fine-stepped scales: every code decodes to the independent factor and encodes back,
// exact midpoints between neighbours take the higher code, other factors the nearest one.
TEST(FineGain, EveryCodeRoundTripsAndFactorsGoToTheNearestCodeHalvesUp) {
  const struct {
    const char* name;
    double (*factor)(std::uint8_t);
    std::uint8_t (*code)(double);
    double (*ref)(int);
    double low, high;
  } scales[] = {{"digital", DigitalGainFactor, DigitalGainCode, RefDigital, 1.0, 15.9375},
                {"colour", ColourGainFactor, ColourGainCode, RefColour, 0.25, 3.984375}};
  std::mt19937 rng(2u);
  for (const auto& g : scales) {
    SCOPED_TRACE(g.name);
    for (int c = 0; c < 256; ++c) {
      const auto code = static_cast<uint8_t>(c);
      EXPECT_EQ(g.factor(code), g.ref(c)) << c;
      EXPECT_EQ(g.code(g.factor(code)), code) << c;
      if (c < 255) {
        EXPECT_EQ(g.code((g.ref(c) + g.ref(c + 1)) / 2.0), c + 1) << c;
      }
    }
    std::uniform_real_distribution<double> dist(g.low, g.high);
    for (int i = 0; i < 20000; ++i) {
      const double x = dist(rng);
      ASSERT_EQ(g.code(x), NearestCode(x, 256, g.ref)) << x;
    }
  }
}

// ---------------------------------------------------------------------------------------------
// Out-of-range input and registers

TEST(GainCodes, NaNTakesTheLastRow) {
  EXPECT_EQ(AnalogGainCode(kNaN), 6);
  EXPECT_EQ(DigitalGainCode(kNaN), 0xFF);
  EXPECT_EQ(ColourGainCode(kNaN), 0xFF);
  const double inf = std::numeric_limits<double>::infinity();
  EXPECT_EQ(AnalogGainCode(inf), 6);
  EXPECT_EQ(DigitalGainCode(inf), 0xFF);
  EXPECT_EQ(ColourGainCode(-inf), 0x00);
}

TEST(GainRegisters, TwoCodesShareOneRegister) {
  // Analog 2.0 with digital 1.5 is register 17 = 0x0220; GB 1.0 with GR 2.0 is 0x80C0.
  EXPECT_EQ(GainRegister(AnalogGainCode(2.0), DigitalGainCode(1.5)), 0x0220);
  EXPECT_EQ(GainRegister(ColourGainCode(1.0), ColourGainCode(2.0)), 0x80C0);
}

}  // namespace
}  // namespace kepra::core
