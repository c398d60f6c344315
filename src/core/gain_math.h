// Gain encodings: conversions between gain factors (doubles) and the 8-bit codes the sensor
// keeps in the two bytes of its gain registers. No device access.
//
// Factor-to-code tables test "bound > x" row by row, so out-of-range factors are clamped to
// the first or last code and a NaN factor, which fails every test, takes the last row
// (analog code 6, digital and colour code 255). NaN is deliberately not refused.

#ifndef KEPRA_CORE_GAIN_MATH_H_
#define KEPRA_CORE_GAIN_MATH_H_

#include <cstdint>

namespace kepra::core {

// Analog gain: seven steps 1.0, 1.5, 2, 3, 4, 6, 8; factors go to the nearest step, a factor
// on a midpoint to the higher one. Result 0..6.
uint8_t AnalogGainCode(double factor);
// Code 7 reads as 8.0 and codes 8 and above as 0.0; neither is ever written.
double AnalogGainFactor(uint8_t code);

// Digital gain: coarse step k (bits 6-7) scales by 1, 2, 4, 8; fine step m (bits 0-5) adds
// m / 64. Range 1.0 (0x00) to 15.875 (0xFF); factors go to the nearest code, halves up.
uint8_t DigitalGainCode(double factor);
double DigitalGainFactor(uint8_t code);

// Colour gain: as the digital gain with scales 0.25, 0.5, 1, 2. Range 0.25 to 3.96875.
uint8_t ColourGainCode(double factor);
double ColourGainFactor(uint8_t code);

// A gain register holds two codes: `high` in bits 8-15, `low` in bits 0-7.
uint16_t GainRegister(uint8_t high, uint8_t low);

}  // namespace kepra::core

#endif  // KEPRA_CORE_GAIN_MATH_H_
