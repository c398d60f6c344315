// What the viewer computes from a frame's full-depth samples: histogram, 8-bit view, PNG.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kepra_view {

constexpr std::size_t kHistogramBins = 256;

struct Histogram {
  std::array<std::uint32_t, kHistogramBins> bins{};  // bin = sample >> (bit_depth - 8)
  std::uint64_t saturated = 0;  // samples at the largest value of the bit depth (or above)
  std::uint32_t max_value = 0;  // largest sample seen
};

// Samples hold bit_depth (8..16) significant bits, right-aligned.
Histogram ComputeHistogram(const std::uint16_t* samples, std::size_t count, unsigned bit_depth);

// Where the saturated samples (as counted by the histogram) are: [first index, length] pairs of
// runs in row-major order, at most max_runs of them; `complete` is false when more were left out.
struct SaturatedRuns {
  std::vector<std::uint32_t> pairs;
  bool complete = true;
};
SaturatedRuns FindSaturatedRuns(const std::uint16_t* samples, std::size_t count, unsigned bit_depth,
                                std::size_t max_runs);

// One byte per sample: the top 8 of bit_depth bits (values above the depth clamp to 255).
void To8Bit(const std::uint16_t* samples, std::size_t count, unsigned bit_depth, std::uint8_t* out);

// A 16-bit grey PNG in memory, the samples scaled from bit_depth to the full 16-bit range;
// empty with `error` set on failure.
std::string EncodePng16(const std::uint16_t* samples, std::uint32_t width, std::uint32_t height,
                        unsigned bit_depth, std::string& error);

}  // namespace kepra_view
