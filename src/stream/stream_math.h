// Frame-counter arithmetic of the stream: pure values.
#pragma once

#include <cstdint>

namespace kepra::stream {

// The counters received so far, as the newest and which of the 63 before it came. With several
// requests waiting at the camera, frames can complete out of order, and a late request can be
// given a frame another one already got.
struct CounterWindow {
  bool started = false;
  std::uint32_t newest = 0;
  std::uint64_t seen = 0;  // bit i: counter newest - i was received
};

struct CounterStep {
  std::uint64_t gap = 0;  // frames skipped between the newest before and this one
  bool fills = false;     // an older frame that a gap counted as skipped
  bool repeat = false;    // received before: not a new frame
};

// Records counter `c`. A counter far behind the newest (the camera started counting again)
// starts the window afresh.
constexpr CounterStep Receive(CounterWindow& w, std::uint32_t c) {
  constexpr std::uint32_t kWindow = 64;
  CounterStep step;
  const std::uint32_t forward = c - w.newest;
  if (w.started && forward != 0 && static_cast<std::int32_t>(forward) > 0) {
    step.gap = forward - 1u;
    w.seen = forward >= kWindow ? 1u : (w.seen << forward) | 1u;
    w.newest = c;
    return step;
  }
  const std::uint32_t back = w.newest - c;
  if (w.started && back < kWindow) {
    const std::uint64_t bit = std::uint64_t{1} << back;
    step.repeat = (w.seen & bit) != 0;
    step.fills = !step.repeat;
    w.seen |= bit;
    return step;
  }
  w.started = true;
  w.newest = c;
  w.seen = 1;
  return step;
}

}  // namespace kepra::stream
