#include "sensor_gain.h"

#include <cmath>

namespace vcam {

double SensorAnalogGain(std::uint8_t code) {
  switch (code) {
    case 0:
      return 1.0;
    case 1:
      return 1.5;
    case 2:
      return 2.0;
    case 3:
      return 3.0;
    case 4:
      return 4.0;
    case 5:
      return 6.0;
    case 6:
    case 7:
      return 8.0;
    default:
      return 0.0;
  }
}

// Both are exact: a 7-bit mantissa times a power of two.
double SensorDigitalGain(std::uint8_t code) {
  return std::ldexp(64 + (code & 0x3F), (code >> 6) - 6);
}

double SensorColourGain(std::uint8_t code) {
  return std::ldexp(64 + (code & 0x3F), (code >> 6) - 8);
}

}  // namespace vcam
