// Pure conversions between the three exposure units (lines, sensor-clock periods called
// "exposure time", milliseconds) and the values written to the exposure registers.
// No device access; the line length (register 4) and clock F are passed in.

#ifndef KEPRA_CORE_EXPOSURE_MATH_H_
#define KEPRA_CORE_EXPOSURE_MATH_H_

#include <cstddef>
#include <cstdint>

namespace kepra::core {

// Exposure limits in lines reported to applications.
inline constexpr uint32_t kExposureMin = 2;
inline constexpr uint32_t kExposureMax = 65534;

// Lines to exposure time: (exposure × line length) as uint32, then × kTickFactor in double,
// truncated toward zero; low 32 bits.
uint32_t ExposureLinesToTime(uint32_t exposure, uint16_t reg4);

// Exposure time to lines: exposure_time / (line length × kTickFactor), rounded half away from
// zero; low 32 bits. Precondition: reg4 & 0x7FF is non-zero; otherwise the result is 0 (the
// caller must refuse a zero line length rather than rely on it).
uint32_t ExposureTimeToLines(uint32_t exposure_time, uint16_t reg4);

// exposure_time / (F × 1000.0). Precondition: F non-zero; callers fail on F = 0. Without it
// the result is +infinity (NaN for 0 / 0), as the IEEE division would give.
double ExposureTimeToMs(uint32_t exposure_time, uint32_t f_mhz);

// (F × ms) × 1000.0, truncated toward zero; low 32 bits. Check ExposureMsValid first.
uint32_t ExposureMsToTime(uint32_t f_mhz, double ms);

// Whether milliseconds are a finite, non-negative number: what can be said before the clock
// is known.
bool ExposureMsFinite(double ms);

// Refuses negative, NaN and infinite milliseconds and products (F × ms) × 1000.0 of 2^32 or
// more, which would otherwise wrap to an unrelated short exposure. A result that truncates to
// 0 passes here; the exposure-time setter refuses a zero time itself.
bool ExposureMsValid(uint32_t f_mhz, double ms);

// Register 14 value for a requested exposure: ((exposure − 1) mod 65534) + 1 on uint32, so any
// input lands in 1..65534 (0 becomes 4, 65535 becomes 1).
uint16_t ExposureRegisterValue(uint32_t exposure);
// Register 27 companion value: the exposure divided by 8.
uint16_t ExposureReg27(uint16_t v);

// Longest exposure in lines for the current window: (r19 × 8) / ((r26 & 0xFF) + 8) + 8.
uint32_t ExposureFramerateMax(uint16_t r19, uint16_t r26);

// Exposure in milliseconds of a captured frame from its information record (at least
// protocol::kFrameInfoMinSize bytes, fields little-endian, any alignment). A null record or a zero
// frequency field gives 0.0: a bogus record should not produce infinity or NaN in the
// application's exposure statistics.
double FrameExposureMs(const void* frame_info);

}  // namespace kepra::core

#endif  // KEPRA_CORE_EXPOSURE_MATH_H_
