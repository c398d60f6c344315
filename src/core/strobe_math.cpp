#include "core/strobe_math.h"

#include <algorithm>

#include "protocol/protocol.h"

namespace kepra::core {

namespace {
constexpr std::uint32_t kInvertedZero = 0x80000000u;
}

std::uint32_t EncodeSnapshot(std::uint32_t timeout_ms, bool inverted) {
  if (!inverted) return timeout_ms;
  if (timeout_ms == 0) return kInvertedZero;
  return 0u - timeout_ms;
}

SnapshotParams DecodeSnapshot(std::uint32_t value) {
  if ((value & 0x80000000u) == 0) return {value, false};
  if (value == kInvertedZero) return {0, true};
  return {0u - value, true};
}

std::uint16_t StrobeDelays(std::uint8_t off_delay, std::uint8_t on_delay) {
  return static_cast<std::uint16_t>(on_delay << 8 | off_delay);
}

std::uint16_t WithStrobeInverted(std::uint16_t r7, bool inverted) {
  return static_cast<std::uint16_t>(inverted ? r7 | kStrobeInvertedBit : r7 & ~kStrobeInvertedBit);
}

std::uint16_t WithStrobeMode(std::uint16_t r11, std::uint32_t mode) {
  return static_cast<std::uint16_t>(((r11 & 0xFF3Fu) | (mode << 6)) & 0xFFFFu);
}

std::uint8_t NextEventsState(std::uint8_t state, std::uint8_t bit, std::uint8_t mask) {
  const unsigned m = mask & 0x0Fu;
  return static_cast<std::uint8_t>(((bit & m) | state) & ~(bit ^ m));
}

std::int32_t FindEvent(const std::uint8_t* frame_info, std::uint8_t bit, std::uint8_t mask) {
  // A count beyond the record's room is bad input: only the bytes the record has are searched.
  const std::uint16_t count =
      std::min(protocol::GetU16(frame_info + protocol::kFrameInfoEventCountOffset),
               protocol::kFrameInfoMaxEvents);
  const std::uint8_t* events = frame_info + protocol::kFrameInfoEventsOffset;
  const unsigned target = bit & mask;
  for (std::uint16_t i = 0; i < count; ++i) {
    if ((events[i] & mask) == target) return i;
  }
  return -1;
}

}  // namespace kepra::core
