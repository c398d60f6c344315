// Snapshot value, strobe registers and events state. The encodings are pure functions; the
// Cx operations send the requests and are called with the device lock held. None of them
// writes a debug line: a failed request leaves its own last error.
#pragma once

#include <cstdint>

#include "platform/win32.h"

namespace kepra::core {

// ---- Snapshot value: TimeoutMs, or its two's complement negation when inverted.
struct SnapshotParams {
  std::uint32_t timeout_ms;
  bool inverted;
};

// Inverted with timeout 0 cannot be told from a plain 0 by negation, so it goes out as
// 0x80000000. Timeouts above 0x7FFFFFFF are encoded the same way but do not read back.
std::uint32_t EncodeSnapshot(std::uint32_t timeout_ms, bool inverted);

// A non-negative value is a plain timeout; a negative one an inverted timeout. 0x80000000,
// whose negation is itself, reads back as what the encoder made it from: inverted, timeout 0.
SnapshotParams DecodeSnapshot(std::uint32_t value);

// ---- Strobe registers.
constexpr std::uint16_t kStrobeDelayRegister = 5;     // low byte off delay, high byte on delay
constexpr std::uint16_t kStrobeInvertedRegister = 7;  // bit 14
constexpr std::uint16_t kStrobeInvertedBit = 0x4000;
constexpr std::uint16_t kStrobeModeRegister = 11;  // bits 6-7
constexpr std::uint32_t kMaxStrobeMode = 3;

std::uint16_t StrobeDelays(std::uint8_t off_delay, std::uint8_t on_delay);
std::uint16_t WithStrobeInverted(std::uint16_t r7, bool inverted);
// `mode` is shifted into bits 6-7 unmasked: the caller keeps it within kMaxStrobeMode.
std::uint16_t WithStrobeMode(std::uint16_t r11, std::uint32_t mode);

// ---- Events.
// Bits of Mask 0-3 take their value from Bit; other bits keep the state, except that a bit set
// in Bit outside the mask is cleared.
std::uint8_t NextEventsState(std::uint8_t state, std::uint8_t bit, std::uint8_t mask);

// Where a frame-information record keeps its events.
constexpr std::size_t kFrameInfoEventCountOffset = 26;  // u16, little-endian
constexpr std::size_t kFrameInfoEventsOffset = 48;      // one byte per event
constexpr std::uint16_t kFrameInfoMaxEvents = 4000;     // the record's room for event bytes

// Index of the first event byte whose Mask bits equal those of Bit, or -1.
std::int32_t FindEvent(const std::uint8_t* frame_info, std::uint8_t bit, std::uint8_t mask);

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
