#include "core/frame_timing.h"

#include "core/sensor_regs.h"
#include "core/timing.h"
#include "core/timing_math.h"
#include "device/device.h"

namespace kepra::core {

using device::CxDebugPrint;

bool ReadTimingFrequency(HANDLE h, std::uint32_t* frequency_mhz) {
  std::uint32_t f = 0;
  if (!ReadFrequency(h, &f)) return false;  // the request's last error stands
  if (!FrequencyUsable(f)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  *frequency_mhz = f;
  return true;
}

bool CxGetFrameTimeMinMax(HANDLE h, std::uint32_t* frame_time_min, std::uint32_t* frame_time_max) {
  TimingRegs regs{};
  if (!CxGetFramerateRegs(h, &regs)) {
    CxDebugPrint("CxGetFramerateRegs failed");
    return false;
  }
  std::uint32_t f = 0;
  if (!ReadTimingFrequency(h, &f)) return false;
  *frame_time_min = MinFrameTime(CxCalcMinFrameLength(regs), CxCalcMinLineLength(regs, f));
  *frame_time_max = kMaxFrameTime;
  return true;
}

bool CxGetFrameTime(HANDLE h, std::uint32_t* frame_time) {
  TimingRegs regs{};
  if (!CxGetFramerateRegs(h, &regs)) {
    CxDebugPrint("CxGetFramerateRegs failed");
    return false;
  }
  *frame_time = FrameTime(regs.r4, regs.r12);
  return true;
}

bool CxSetFrameTime(HANDLE h, std::uint32_t frame_time) {
  TimingRegs regs{};
  if (!CxGetFramerateRegs(h, &regs)) {
    CxDebugPrint("CxGetFramerateRegs failed");
    return false;
  }
  std::uint32_t f = 0;
  if (!ReadTimingFrequency(h, &f)) return false;
  const FrameTimeSplit split =
      SplitFrameTime(frame_time, CxCalcMinFrameLength(regs), CxCalcMinLineLength(regs, f));

  // Bit 3 of register 11 is held clear while the line length changes.
  const auto r11_clear = static_cast<std::uint16_t>(regs.r11 & 0xFFF7u);
  const auto r11_set = static_cast<std::uint16_t>(regs.r11 | 0x0008u);
  if (!CxWriteSensorReg(h, 11, r11_clear)) {
    CxDebugPrint("CxWriteSensorReg failed");
    return false;
  }
  if (!CxWriteSensorReg(h, 4, LineLengthRegister(regs.r4, split.line_length))) {
    CxDebugPrint("CxWriteSensorReg failed");
    CxWriteSensorReg(h, 11, r11_clear);  // best effort; the failure above is what counts
    return false;
  }
  CxWriteSensorReg(h, 11, r11_set);  // not checked: the frame length still goes out
  if (!CxWriteSensorReg(h, 12, split.frame_length)) {
    CxDebugPrint("CxWriteSensorReg failed");
    return false;
  }
  return true;
}

bool CxGetFrameRateMinMax(HANDLE h, double* frame_rate_min, double* frame_rate_max) {
  std::uint32_t t_min = 0, t_max = 0;
  if (!CxGetFrameTimeMinMax(h, &t_min, &t_max)) {
    CxDebugPrint("CxGetFrameTimeMinMax failed");
    return false;
  }
  std::uint32_t f = 0;
  if (!ReadTimingFrequency(h, &f)) return false;
  *frame_rate_min = FrameRateFromTime(f, t_max);
  *frame_rate_max = FrameRateFromTime(f, t_min);
  return true;
}

bool CxGetFrameRate(HANDLE h, double* frame_rate) {
  CxUpdateFrameLength(h);  // reading the rate may first lengthen the frame; outcome ignored
  std::uint32_t t = 0;
  if (!CxGetFrameTime(h, &t)) {
    CxDebugPrint("CxGetFrameTime failed");
    return false;
  }
  std::uint32_t f = 0;
  if (!ReadTimingFrequency(h, &f)) return false;
  *frame_rate = FrameRateFromTime(f, t);
  return true;
}

bool SetFrameRate(HANDLE h, double frame_rate, double* new_frame_rate) {
  std::uint32_t f = 0;
  if (!ReadTimingFrequency(h, &f)) return false;
  // Checked against the clock: how slow a rate still fits depends on it.
  if (!FrameRateRequestValid(f, frame_rate)) {
    CxDebugPrint("FrameRate is not valid");
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  if (!CxSetFrameTime(h, FrameTimeFromRateRounded(f, frame_rate))) {
    CxDebugPrint("CxSetFrameTime failed");
    return false;
  }
  if (new_frame_rate && !CxGetFrameRate(h, new_frame_rate)) {
    CxDebugPrint("CxGetFrameRate failed");
    return false;
  }
  return true;
}

bool SetFrameRateLimit(HANDLE h, bool fastest) {
  device::DeviceLock lock(h);
  if (!lock) return false;
  double rate_min = 0.0, rate_max = 0.0;
  if (!CxGetFrameRateMinMax(h, &rate_min, &rate_max)) {
    CxDebugPrint("CxGetFrameRateMinMax failed");
    return false;
  }
  std::uint32_t f = 0;
  if (!ReadTimingFrequency(h, &f)) return false;
  // Truncated, not rounded: the slowest rate may ask for one unit below the maximum frame
  // time, which still splits into the longest line and frame.
  if (!CxSetFrameTime(h, FrameTimeFromRateTruncated(f, fastest ? rate_max : rate_min))) {
    CxDebugPrint("CxSetFrameTime failed");
    return false;
  }
  return true;
}

}  // namespace kepra::core
