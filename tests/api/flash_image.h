// Flash images for the flash and firmware suites: reproducible patterns and a comparison that
// names the first differing address instead of printing two 2 MiB vectors.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <numeric>
#include <random>
#include <sstream>
#include <vector>

#include "fixture.h"

namespace kt {

constexpr std::uint32_t kFlashBytes = 0x200000;
constexpr std::uint32_t kUserBase = 0x160000;
constexpr std::uint32_t kUserBytes = 0xA0000;

using Image = std::vector<std::uint8_t>;

inline Image Pattern(std::uint32_t seed, std::size_t size = kFlashBytes) {
  std::mt19937 generator(seed);
  Image bytes(size);
  for (auto& b : bytes) b = static_cast<std::uint8_t>(generator());
  return bytes;
}

inline std::uint32_t Le32(const std::vector<std::uint8_t>& bytes) {
  return bytes[0] | bytes[1] << 8 | bytes[2] << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

inline testing::AssertionResult SameBytes(const Image& got, const Image& expected) {
  if (got.size() != expected.size()) {
    return testing::AssertionFailure() << "sizes " << got.size() << " and " << expected.size();
  }
  const auto diff = std::mismatch(got.begin(), got.end(), expected.begin());
  if (diff.first == got.end()) return testing::AssertionSuccess();
  const auto count = std::inner_product(got.begin(), got.end(), expected.begin(), std::size_t{0},
                                        std::plus<>(), std::not_equal_to<>());
  std::ostringstream text;  // AssertionResult does not keep stream manipulators
  text << count << " bytes differ, the first at 0x" << std::hex << (diff.first - got.begin())
       << ": 0x" << int{*diff.first} << " instead of 0x" << int{*diff.second};
  return testing::AssertionFailure() << text.str();
}

}  // namespace kt
