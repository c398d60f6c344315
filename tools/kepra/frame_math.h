// The arithmetic of grabbing, kept free of the camera so that it can be checked on its own.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace kepra_tool {

// Byte size of the frame-information record in front of an Ex frame's samples.
constexpr std::uint32_t kFrameInfoSize = 4096;

struct Geometry {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
};

// Samples per row and rows of a frame: the region of interest divided by the binning. Empty
// for a record that describes no image (zero binning or an empty region).
inline std::optional<Geometry> FrameGeometry(std::uint16_t width, std::uint16_t height,
                                             std::uint16_t bin_x, std::uint16_t bin_y) {
  if (bin_x == 0 || bin_y == 0) return std::nullopt;
  const Geometry g{static_cast<std::uint32_t>(width / bin_x),
                   static_cast<std::uint32_t>(height / bin_y)};
  if (g.width == 0 || g.height == 0) return std::nullopt;
  return g;
}

// A 16-bit sample holds bit_depth significant bits, right-aligned; a 16-bit PNG wants the
// full range, so the value moves to the top bits.
inline std::uint16_t ScaleTo16(std::uint16_t sample, unsigned bit_depth) {
  if (bit_depth == 0 || bit_depth >= 16) return sample;
  return static_cast<std::uint16_t>(sample << (16 - bit_depth));
}

// Frames lost between two consecutive frame counters (the counter wraps at 2^32). A counter
// that did not advance counts as no loss here; the caller counts it as out of order.
inline std::uint32_t DroppedBetween(std::uint32_t previous, std::uint32_t current) {
  const auto step = static_cast<std::int32_t>(current - previous);
  return step > 1 ? static_cast<std::uint32_t>(step - 1) : 0;
}

// The file name of frame `number` from a pattern with one %d or %0Nd (N up to 9) and %% for
// a percent sign. Empty for a pattern with any other conversion.
inline std::optional<std::string> FramePath(const std::string& pattern, std::uint32_t number) {
  std::string out;
  bool used = false;
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] != '%') {
      out += pattern[i];
      continue;
    }
    if (++i >= pattern.size()) return std::nullopt;
    if (pattern[i] == '%') {
      out += '%';
      continue;
    }
    unsigned width = 0;
    if (pattern[i] == '0' && i + 1 < pattern.size() && pattern[i + 1] >= '1' &&
        pattern[i + 1] <= '9') {
      width = static_cast<unsigned>(pattern[i + 1] - '0');
      i += 2;
    }
    if (i >= pattern.size() || pattern[i] != 'd' || used) return std::nullopt;
    used = true;
    std::string digits = std::to_string(number);
    if (digits.size() < width) digits.insert(0, width - digits.size(), '0');
    out += digits;
  }
  return out;
}

}  // namespace kepra_tool
