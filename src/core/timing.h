// The sensor's timing registers as a whole: the timing snapshot, the frame-length update and
// the clock frequency. Called with the device lock held.
#pragma once

#include <cstdint>

#include "core/timing_math.h"
#include "platform/win32.h"

namespace kepra::core {

// Reads the 17 timing registers: registers 4..26 in one block request, then 57 and 73 singly.
// On a failed single read the values read before it stay written.
bool CxGetFramerateRegs(HANDLE h, TimingRegs* regs);

// Raises the frame length (register 12) to the minimum the other registers need, when
// register 62 bit 4 asks for it (or cannot be read).
bool CxUpdateFrameLength(HANDLE h);

// The sensor clock in MHz as the driver reports it.
bool ReadFrequency(HANDLE h, std::uint32_t* frequency_mhz);
// Asks the driver to run the sensor clock at `frequency_mhz`; no range check here.
bool WriteFrequency(HANDLE h, std::uint32_t frequency_mhz);

}  // namespace kepra::core
