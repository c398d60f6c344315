// Shared by the stress test and its worker processes.
#pragma once

#include <cstdint>
#include <vector>

#include "kepra/kepra.h"

constexpr std::uint32_t kStressFrameTimes[] = {100000, 150000, 220000, 300000, 450000, 700000};
constexpr std::size_t kStressFrameTimeCount =
    sizeof kStressFrameTimes / sizeof kStressFrameTimes[0];
constexpr int kStressSectors = 4;
constexpr std::uint32_t kStressPatternSize = 256;
constexpr int kStressMaxWriters = 16;

// The first bytes of user-area sector s (64 KiB sectors).
inline std::uint32_t StressSector(int s) { return static_cast<std::uint32_t>(s) * 0x10000u; }

// Writer id's pattern: distinct for every id, never all 0xFF (erased).
inline std::vector<std::uint8_t> StressPattern(int id) {
  std::vector<std::uint8_t> p(kStressPatternSize);
  for (std::uint32_t i = 0; i < kStressPatternSize; ++i)
    p[i] = static_cast<std::uint8_t>(id * 37 + i * 11 + 1);
  return p;
}

// Whose pattern a range holds; -1 for none (mixed, erased or foreign).
inline int StressPatternOwner(const std::vector<std::uint8_t>& bytes) {
  for (int id = 0; id < kStressMaxWriters; ++id) {
    if (bytes == StressPattern(id)) return id;
  }
  return -1;
}
