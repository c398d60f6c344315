#include "core/exposure.h"

#include "core/exposure_math.h"
#include "core/sensor_regs.h"
#include "core/timing.h"
#include "device/device.h"

namespace kepra::core {

using device::CxDebugPrint;

namespace {

// The sensor needs this long after an exposure change before a read-back is meaningful.
constexpr DWORD kExposureSettleMs = 50;

bool Refused(const char* line) {
  CxDebugPrint("%s", line);
  SetLastError(ERROR_INVALID_PARAMETER);
  return false;
}

bool ReadFailed() {
  CxDebugPrint("CxReadSensorReg failed");
  return false;
}

bool WriteFailed() {
  CxDebugPrint("CxWriteSensorReg failed");
  return false;
}

// The clock for the millisecond conversions; 0 when it cannot be read, which the callers
// treat as "no conversion possible".
std::uint32_t ClockOrZero(HANDLE h) {
  std::uint32_t f = 0;
  return ReadFrequency(h, &f) ? f : 0;
}

}  // namespace

bool CxGetExposureMinMax(HANDLE h, std::uint32_t* exp_min, std::uint32_t* exp_max) {
  if (device::IsInvalid(h)) return Refused("H is not valid");
  *exp_min = kExposureMin;
  *exp_max = kExposureMax;
  return true;
}

bool CxGetExposureFramerateMax(HANDLE h, std::uint32_t* exposure) {
  std::uint16_t r19 = 0, r26 = 0;
  if (!CxReadSensorReg(h, 19, &r19) || !CxReadSensorReg(h, 26, &r26)) return ReadFailed();
  *exposure = ExposureFramerateMax(r19, r26);
  return true;
}

bool CxGetExposure(HANDLE h, std::uint32_t* exposure) {
  std::uint16_t r14 = 0;
  if (!CxReadSensorReg(h, 14, &r14)) return ReadFailed();
  *exposure = r14;
  return true;
}

bool CxSetExposure(HANDLE h, std::uint32_t exposure) {
  const std::uint16_t v = ExposureRegisterValue(exposure);
  if (!CxWriteSensorReg(h, 14, v)) return WriteFailed();
  if (!CxWriteSensorReg(h, 27, ExposureReg27(v))) return WriteFailed();
  CxUpdateFrameLength(h);  // the frame grows if the exposure needs it; outcome not reported
  return true;
}

bool CxExposureToExposureTime(HANDLE h, std::uint32_t exposure, std::uint32_t* exposure_time) {
  if (!exposure_time) return Refused("ExposureTime is NULL");
  device::DeviceLock lock(h);
  if (!lock) return false;
  std::uint16_t r4 = 0;
  if (!CxReadSensorReg(h, 4, &r4)) return ReadFailed();
  *exposure_time = ExposureLinesToTime(exposure, r4);
  return true;
}

bool CxExposureTimeToExposure(HANDLE h, std::uint32_t exposure_time, std::uint32_t* exposure) {
  if (exposure_time == 0) return Refused("ExposureTime is NULL");
  device::DeviceLock lock(h);
  if (!lock) return false;
  std::uint16_t r4 = 0;
  if (!CxReadSensorReg(h, 4, &r4)) return ReadFailed();
  // No line length, no lines: refused rather than divided by.
  if ((r4 & 0x07FF) == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  *exposure = ExposureTimeToLines(exposure_time, r4);
  return true;
}

bool CxGetExposureTimeMinMax(HANDLE h, std::uint32_t* exp_time_min, std::uint32_t* exp_time_max) {
  std::uint32_t exp_min = 0, exp_max = 0;
  if (!CxGetExposureMinMax(h, &exp_min, &exp_max)) {
    CxDebugPrint("CxGetExposureMinMax failed");
    return false;
  }
  if (!CxExposureToExposureTime(h, exp_min, exp_time_min)) {
    CxDebugPrint("%s", "CxExposureToExposureTime( H, ExpMin, ExpTimeMin) fail!\n");
    return false;
  }
  if (!CxExposureToExposureTime(h, exp_max, exp_time_max)) {
    CxDebugPrint("%s", "CxExposureToExposureTime( H, ExpMax, ExpTimeMax) fail!\n");
    return false;
  }
  return true;
}

bool CxGetExposureTimeFramerateMax(HANDLE h, std::uint32_t* exposure_time) {
  std::uint32_t exposure = 0;
  if (!CxGetExposureFramerateMax(h, &exposure)) {
    CxDebugPrint("CxGetExposureFramerateMax failed");
    return false;
  }
  if (!CxExposureToExposureTime(h, exposure, exposure_time)) {
    CxDebugPrint("%s", "CxExposureToExposureTime( H, Exposure, ExposureTime) fail!\n");
    return false;
  }
  return true;
}

bool CxGetExposureTime(HANDLE h, std::uint32_t* exposure_time) {
  std::uint32_t exposure = 0;
  if (!CxGetExposure(h, &exposure)) {
    CxDebugPrint("CxGetExposure failed");
    return false;
  }
  if (!CxExposureToExposureTime(h, exposure, exposure_time)) {
    CxDebugPrint("%s", "CxExposureToExposureTime( H, Exposure, ExposureTime) fail!\n");
    return false;
  }
  return true;
}

bool CxSetExposureTime(HANDLE h, std::uint32_t exposure_time) {
  std::uint32_t exposure = 0;
  if (!CxExposureTimeToExposure(h, exposure_time, &exposure)) {
    CxDebugPrint("%s", "CxExposureTimeToExposure( H, ExposureTime, &Exposure) fail!\n");
    return false;
  }
  if (!CxSetExposure(h, exposure)) {
    CxDebugPrint("CxSetExposure failed");
    return false;
  }
  return true;
}

bool GetExposureMs(HANDLE h, double* exposure_ms) {
  const std::uint32_t f = ClockOrZero(h);
  std::uint32_t t = 0;
  if (!CxGetExposureTime(h, &t)) {
    CxDebugPrint("CxGetExposureTime failed");
    return false;
  }
  if (f == 0) return false;
  *exposure_ms = ExposureTimeToMs(t, f);
  return true;
}

bool GetExposureFramerateMaxMs(HANDLE h, double* exposure_ms) {
  const std::uint32_t f = ClockOrZero(h);
  std::uint32_t t = 0;
  if (!CxGetExposureTimeFramerateMax(h, &t)) {
    CxDebugPrint("CxGetExposureTimeFramerateMax failed");
    return false;
  }
  if (f == 0) return false;
  *exposure_ms = ExposureTimeToMs(t, f);
  return true;
}

bool GetExposureMinMaxMs(HANDLE h, double* exp_min, double* exp_max) {
  device::DeviceLock lock(h);
  if (!lock) return false;
  const std::uint32_t f = ClockOrZero(h);
  std::uint32_t t_min = 0, t_max = 0;
  if (!CxGetExposureTimeMinMax(h, &t_min, &t_max)) {
    CxDebugPrint("CxGetExposureTimeMinMax failed");
    return false;
  }
  if (f == 0) return false;
  *exp_min = ExposureTimeToMs(t_min, f);
  *exp_max = ExposureTimeToMs(t_max, f);
  return true;
}

bool SetExposureMs(HANDLE h, double exposure_ms, double* new_exposure_ms) {
  // An unreadable clock counts as 0: the exposure time is then 0, which the conversion
  // refuses.
  const std::uint32_t f = ClockOrZero(h);
  if (!ExposureMsValid(f, exposure_ms)) return Refused("ExposureMs is not valid");
  if (!CxSetExposureTime(h, ExposureMsToTime(f, exposure_ms))) {
    CxDebugPrint("CxSetExposureTime failed");
    return false;
  }
  Sleep(kExposureSettleMs);  // under the lock: nobody reads the exposure before it settled
  if (new_exposure_ms && !GetExposureMs(h, new_exposure_ms)) return false;
  return true;
}

}  // namespace kepra::core
