#include "core/gain_math.h"

#include "core/timing_math.h"  // KEPRA_BINARY64_MATH

namespace kepra::core {
namespace {

// Code from a band's value t, already offset by half a fine step and scaled to 1..2.
KEPRA_BINARY64_MATH uint8_t BandCode(unsigned k, double t) {
  // t − 1.0 is in [0, 1) for every band, so the int conversion is always defined.
  const int fine = static_cast<int>((t - 1.0) * 64.0);
  return static_cast<uint8_t>(k * 64u + (static_cast<unsigned>(fine) & 63u));
}

KEPRA_BINARY64_MATH double CodeFactor(uint8_t code, const double (&scale)[4]) {
  const unsigned k = code >> 6;
  const unsigned m = code & 63u;
  return (1.0 + m * 0.015625) * scale[k];
}

constexpr double kDigitalScale[4] = {1.0, 2.0, 4.0, 8.0};
constexpr double kColourScale[4] = {0.25, 0.5, 1.0, 2.0};

}  // namespace

// Every comparison below is written "bound > x" so that NaN falls through to the last row.

KEPRA_BINARY64_MATH uint8_t AnalogGainCode(double factor) {
  if (1.25 > factor) return 0;
  if (1.75 > factor) return 1;
  if (2.5 > factor) return 2;
  if (3.5 > factor) return 3;
  if (5.0 > factor) return 4;
  if (7.0 > factor) return 5;
  return 6;
}

KEPRA_BINARY64_MATH double AnalogGainFactor(uint8_t code) {
  constexpr double kFactors[8] = {1.0, 1.5, 2.0, 3.0, 4.0, 6.0, 8.0, 8.0};
  return code < 8 ? kFactors[code] : 0.0;
}

KEPRA_BINARY64_MATH uint8_t DigitalGainCode(double factor) {
  // Each band adds half its fine step (scale / 128) before scaling, to round to nearest.
  if (1.0 > factor) return 0x00;
  if (1.9921875 > factor) return BandCode(0, factor + 0.0078125);
  if (3.984375 > factor) return BandCode(1, (factor + 0.015625) * 0.5);
  if (7.96875 > factor) return BandCode(2, (factor + 0.03125) * 0.25);
  if (15.9375 > factor) return BandCode(3, (factor + 0.0625) * 0.125);
  return 0xFF;
}

KEPRA_BINARY64_MATH double DigitalGainFactor(uint8_t code) {
  return CodeFactor(code, kDigitalScale);
}

KEPRA_BINARY64_MATH uint8_t ColourGainCode(double factor) {
  if (0.25 > factor) return 0x00;
  if (0.498046875 > factor) return BandCode(0, (factor + 0.001953125) * 4.0);
  if (0.99609375 > factor) return BandCode(1, (factor + 0.00390625) * 2.0);
  if (1.9921875 > factor) return BandCode(2, factor + 0.0078125);
  if (3.984375 > factor) return BandCode(3, (factor + 0.015625) * 0.5);
  return 0xFF;
}

KEPRA_BINARY64_MATH double ColourGainFactor(uint8_t code) { return CodeFactor(code, kColourScale); }

uint16_t GainRegister(uint8_t high, uint8_t low) {
  return static_cast<uint16_t>(high * 256u + low);
}

}  // namespace kepra::core
