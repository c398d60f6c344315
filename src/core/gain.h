// Analog, digital and colour gains as factors, over gain registers 17, 54 and 55. Called with
// the device lock held.
#pragma once

#include "platform/win32.h"

namespace kepra::core {

// Register 17: analog code in the high byte, digital code in the low byte.
bool GetGain(HANDLE h, double* analog, double* digital);
// Writes register 17 and waits 20 ms for the sensor to take it, also when the write failed.
bool SetGain(HANDLE h, double analog, double digital);
// Registers 54 (GB, GR) and 55 (B, R); results written only when both reads succeeded.
bool GetGainC(HANDLE h, double* gb, double* gr, double* b, double* r);
// Register 54, then 55 only if 54 was written.
bool SetGainC(HANDLE h, double gb, double gr, double b, double r);

}  // namespace kepra::core
