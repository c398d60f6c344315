// Snapshot value, strobe registers and events state as values: the encodings of the values
// the driver keeps and of the strobe registers, and the events search in a frame-information
// record. No device access.
#pragma once

#include <cstddef>
#include <cstdint>

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

// Index of the first event byte whose Mask bits equal those of Bit, or -1.
std::int32_t FindEvent(const std::uint8_t* frame_info, std::uint8_t bit, std::uint8_t mask);

}  // namespace kepra::core
