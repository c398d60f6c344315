// Frame time and frame rate: the frame period as an integer count of line-length units (line
// length × frame length) and as frames per second. Called with the device lock held; each
// operation reads the registers and the clock afresh.
//
// A clock that cannot be read, or whose low 16 bits are 0 (the divisor of the minimum line
// length), fails the operation: with the driver's last error when the request failed, with
// 87 when the value is unusable. No debug line is added for it beyond the callers' usual
// "... failed" lines, and no register is written.
#pragma once

#include <cstdint>

#include "platform/win32.h"

namespace kepra::core {

// Minimum frame time (minimum frame length × minimum line length) and the fixed maximum.
bool CxGetFrameTimeMinMax(HANDLE h, std::uint32_t* frame_time_min, std::uint32_t* frame_time_max);

// Line length × frame length as the sensor runs now. Writes nothing.
bool CxGetFrameTime(HANDLE h, std::uint32_t* frame_time);

// Clamps the request to the allowed range, splits it into line and frame length and writes
// them: register 11 with bit 3 clear, register 4, register 11 with bit 3 set, register 12.
bool CxSetFrameTime(HANDLE h, std::uint32_t frame_time);

// Rates of the maximum and of the minimum frame time.
bool CxGetFrameRateMinMax(HANDLE h, double* frame_rate_min, double* frame_rate_max);

// Lengthens the frame first if the exposure or the window needs it, then gives the rate of
// the frame time; +infinity when that is 0.
bool CxGetFrameRate(HANDLE h, double* frame_rate);

// Sets the frame time of a rate in frames per second (rounded to the nearest unit) and, when
// `new_frame_rate` is given, reads back the rate actually reached. A rate that is not a
// positive finite number, or so slow that its frame time would not fit 32 bits, is refused
// with "FrameRate is not valid" and 87.
bool SetFrameRate(HANDLE h, double frame_rate, double* new_frame_rate);

// Moves to the slowest (`fastest` false) or fastest rate the current settings allow. Takes
// the device lock once more inside the caller's.
bool SetFrameRateLimit(HANDLE h, bool fastest);

// The clock in MHz, refused when it cannot be used by the timing arithmetic (see above).
bool ReadTimingFrequency(HANDLE h, std::uint32_t* frequency_mhz);

}  // namespace kepra::core
