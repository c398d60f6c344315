// The sensor's gain registers as the virtual camera applies them: register 17 holds the
// analog code (high byte) and the digital code (low byte), registers 54 and 55 the colour
// codes of GB, GR (54) and B, R (55). Written from the sensor's register meanings, apart
// from the library's encoders, so that a wrong table on either side shows in the pictures.
#pragma once

#include <cstdint>

namespace vcam {

// Analog code: an index into 1, 1.5, 2, 3, 4, 6, 8; code 7 also amplifies 8 times, codes 8
// and above are not gains the sensor knows (0.0).
double SensorAnalogGain(std::uint8_t code);

// Digital code: coarse step k in bits 6-7 doubles the gain per step, fine step m in bits
// 0-5 adds m / 64 of the coarse gain: (64 + m) * 2^k / 64.
double SensorDigitalGain(std::uint8_t code);

// Colour code: as the digital code, a quarter of it: (64 + m) * 2^k / 256.
double SensorColourGain(std::uint8_t code);

}  // namespace vcam
