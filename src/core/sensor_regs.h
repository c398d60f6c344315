// The sensor-register primitives every timing, exposure, gain and mode operation rests on.
// No handle check, no lock and no debug line: the caller holds the device lock.
#pragma once

#include <cstdint>

#include "platform/win32.h"

namespace kepra::core {

bool CxReadSensorReg(HANDLE h, std::uint16_t address, std::uint16_t* value);
bool CxWriteSensorReg(HANDLE h, std::uint16_t address, std::uint16_t value);

}  // namespace kepra::core
