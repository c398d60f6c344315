// Frame-counter arithmetic of the stream: pure values.
#pragma once

#include <cstdint>

namespace kepra::stream {

// Frames the camera produced between two frames received in order, across the 32-bit wrap.
// A counter that did not move forward (a repeated or older frame) skips nothing.
constexpr std::uint64_t SkippedBetween(std::uint32_t previous, std::uint32_t current) {
  const std::uint32_t step = current - previous;
  return static_cast<std::int32_t>(step) > 1 ? step - 1u : 0u;
}

}  // namespace kepra::stream
