// Readout mode over the device: register 11 and the tuning registers of sensor variant
// 0x0900, called with the device lock held. The register values are in readout_math.h.
#pragma once

#include <cstdint>

#include "core/readout_math.h"
#include "platform/win32.h"

namespace kepra::core {

// Reads register 11 and gives its mode field. A failed read writes the debug line
// "CxReadSensorReg failed" and leaves `mode` untouched.
bool CxGetReadoutMode(HANDLE h, std::uint32_t* mode);

// Sets the mode field of register 11 and, on variant 0x0900, the tuning registers. Fails
// without a debug line on an unknown variant (nothing written) and on variant 0x0900 for a
// mode without tuning values (register 11 already written).
bool CxSetReadoutMode(HANDLE h, std::uint32_t mode);

}  // namespace kepra::core
