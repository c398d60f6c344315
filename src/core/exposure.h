// Exposure in its three units: lines (register 14), sensor-clock periods ("exposure time",
// through the line length in register 4) and milliseconds (through the clock). Called with
// the device lock held; the two conversions and the millisecond limits take it once more,
// nested.
//
// Each operation that fails writes its own debug line and its callers add theirs, so a
// failure leaves a short stack of lines. A failed register request keeps the driver's last
// error.
#pragma once

#include <cstdint>

#include "platform/win32.h"

namespace kepra::core {

// 2 and 65534 lines; refuses only the invalid handle.
bool CxGetExposureMinMax(HANDLE h, std::uint32_t* exp_min, std::uint32_t* exp_max);
// Longest exposure in lines for the current window (registers 19 and 26).
bool CxGetExposureFramerateMax(HANDLE h, std::uint32_t* exposure);
bool CxGetExposure(HANDLE h, std::uint32_t* exposure);
// Writes registers 14 and 27, then lengthens the frame if the exposure no longer fits.
bool CxSetExposure(HANDLE h, std::uint32_t exposure);

// Lines to sensor-clock periods; a null destination is refused with 87.
bool CxExposureToExposureTime(HANDLE h, std::uint32_t exposure, std::uint32_t* exposure_time);
// Sensor-clock periods to lines. A zero time is refused with "ExposureTime is NULL" and 87;
// a zero line length fails with 87 and no line of its own (the callers' lines follow).
bool CxExposureTimeToExposure(HANDLE h, std::uint32_t exposure_time, std::uint32_t* exposure);

// Writes the lower limit into exp_time_min before converting the upper one.
bool CxGetExposureTimeMinMax(HANDLE h, std::uint32_t* exp_time_min, std::uint32_t* exp_time_max);
bool CxGetExposureTimeFramerateMax(HANDLE h, std::uint32_t* exposure_time);
bool CxGetExposureTime(HANDLE h, std::uint32_t* exposure_time);
bool CxSetExposureTime(HANDLE h, std::uint32_t exposure_time);

// Milliseconds. The read side fails without a line of its own when the clock reads as 0 or
// cannot be read (after the exposure registers have been read); results are written only
// on success.
bool GetExposureMs(HANDLE h, double* exposure_ms);
bool GetExposureFramerateMaxMs(HANDLE h, double* exposure_ms);
bool GetExposureMinMaxMs(HANDLE h, double* exp_min, double* exp_max);  // nested lock
// Sets the exposure nearest to `exposure_ms`, waits 50 ms for the sensor to take it, then
// reads it back into `new_exposure_ms` if given. Milliseconds whose time at the current
// clock reaches 2^32 periods are refused with "ExposureMs is not valid" and 87.
bool SetExposureMs(HANDLE h, double exposure_ms, double* new_exposure_ms);

}  // namespace kepra::core
