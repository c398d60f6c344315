#include "core/exposure_math.h"

#include <cmath>
#include <limits>

#include "core/timing_math.h"
#include "protocol/protocol.h"

namespace kepra::core {

using protocol::GetU16;

KEPRA_BINARY64_MATH uint32_t ExposureLinesToTime(uint32_t exposure, uint16_t reg4) {
  // The product wraps in 32 bits before it becomes a double.
  const uint32_t product = exposure * static_cast<uint32_t>(reg4 & 0x07FFu);
  return static_cast<uint32_t>(TruncToInt64Bits(static_cast<double>(product) * kTickFactor));
}

KEPRA_BINARY64_MATH uint32_t ExposureTimeToLines(uint32_t exposure_time, uint16_t reg4) {
  const uint32_t line_length = reg4 & 0x07FFu;
  if (line_length == 0) return 0;
  const double line_periods = static_cast<double>(line_length) * kTickFactor;
  return static_cast<uint32_t>(RoundToInt64Bits(static_cast<double>(exposure_time) / line_periods));
}

KEPRA_BINARY64_MATH double ExposureTimeToMs(uint32_t exposure_time, uint32_t f_mhz) {
  if (f_mhz == 0) {
    return exposure_time == 0 ? std::numeric_limits<double>::quiet_NaN()
                              : std::numeric_limits<double>::infinity();
  }
  return static_cast<double>(exposure_time) / (static_cast<double>(f_mhz) * 1000.0);
}

KEPRA_BINARY64_MATH uint32_t ExposureMsToTime(uint32_t f_mhz, double ms) {
  return static_cast<uint32_t>(TruncToInt64Bits((static_cast<double>(f_mhz) * ms) * 1000.0));
}

bool ExposureMsFinite(double ms) { return !std::isnan(ms) && !std::isinf(ms) && ms >= 0.0; }

KEPRA_BINARY64_MATH bool ExposureMsValid(uint32_t f_mhz, double ms) {
  if (!ExposureMsFinite(ms)) return false;
  return (static_cast<double>(f_mhz) * ms) * 1000.0 < 4294967296.0;
}

uint16_t ExposureRegisterValue(uint32_t exposure) {
  // Unsigned wrap of 0 − 1 is intended: 0 maps to 4, not to an error.
  return static_cast<uint16_t>((exposure - 1u) % 65534u + 1u);
}

uint16_t ExposureReg27(uint16_t v) { return static_cast<uint16_t>(v >> 3); }

uint32_t ExposureFramerateMax(uint16_t r19, uint16_t r26) {
  return (uint32_t{r19} * 8u) / ((r26 & 0xFFu) + 8u) + 8u;
}

KEPRA_BINARY64_MATH double FrameExposureMs(const void* frame_info) {
  if (frame_info == nullptr) return 0.0;
  const auto* bytes = static_cast<const std::uint8_t*>(frame_info);
  const uint16_t frequency = GetU16(bytes + protocol::kFrameInfoFrequencyOffset);
  if (frequency == 0) return 0.0;

  const uint32_t product = uint32_t{GetU16(bytes + protocol::kFrameInfoFactorAOffset)} *
                           GetU16(bytes + protocol::kFrameInfoFactorBOffset);
  const uint32_t periods =
      static_cast<uint32_t>(TruncToInt64Bits(static_cast<double>(product) * kTickFactor));
  return static_cast<double>(periods) / (static_cast<double>(frequency) * 1000.0);
}

}  // namespace kepra::core
