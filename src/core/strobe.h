// Snapshot value, strobe registers and events state over the device: called with the device
// lock held. None of them writes a debug line: a failed request leaves its own last error.
// The encodings are in strobe_math.h.
#pragma once

#include <cstdint>

#include "core/strobe_math.h"
#include "platform/win32.h"

namespace kepra::core {

// ---- Requests.
bool CxGetSnapshotParams(HANDLE h, std::uint32_t* timeout_ms, std::uint8_t* inverted);
bool CxSetSnapshotParams(HANDLE h, std::uint32_t timeout_ms, bool inverted);

// Reads registers 5, 7 and 11 in that order; the first failed read ends it, with the values
// read before it already delivered.
bool CxGetStrobeParams(HANDLE h, std::uint32_t* mode, std::uint8_t* off_delay,
                       std::uint8_t* on_delay, std::uint8_t* inverted);

// Writes register 5, then the inverted bit of register 7 (skipped when register 7 cannot be
// read), then the mode bits of register 11.
bool CxSetStrobeParams(HANDLE h, std::uint32_t mode, std::uint8_t off_delay, std::uint8_t on_delay,
                       bool inverted);

bool CxGetEventsState(HANDLE h, std::uint8_t* state);
bool CxSetEventsState(HANDLE h, std::uint8_t bit, std::uint8_t mask);

}  // namespace kepra::core
