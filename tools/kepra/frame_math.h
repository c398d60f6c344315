// The arithmetic of grabbing, kept free of the camera so that it can be checked on its own.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace kepra_tool {

// A 16-bit sample holds bit_depth significant bits, right-aligned; a 16-bit PNG wants the
// full range, so the value moves to the top bits.
inline std::uint16_t ScaleTo16(std::uint16_t sample, unsigned bit_depth) {
  if (bit_depth == 0 || bit_depth >= 16) return sample;
  return static_cast<std::uint16_t>(sample << (16 - bit_depth));
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
