// The shape of a frame from the frame-parameter record and the camera model: pure values.
#pragma once

#include <cstdint>

namespace kepra::core {

// The fields of the frame-parameter record that decide a frame's shape.
struct FrameGeometry {
  std::uint16_t x = 0, y = 0, width = 0, height = 0, bit_depth = 0;
  std::uint16_t bin_x = 1, bin_y = 1, flags = 0;
};

// Colour-filter codes of the public header (KEPRA_CFA_*).
enum class ColorFilter : std::uint32_t { kNone = 0, kRggb = 1, kGrbg = 2, kGbrg = 3, kBggr = 4 };

struct FrameShape {
  std::uint32_t width, height, bit_depth;
  std::uint32_t bytes8, bytes16, bytes_ex8, bytes_ex16;
  ColorFilter color_filter;
};

constexpr std::uint16_t kMirrorX = 0x0001;
constexpr std::uint16_t kFlipY = 0x0002;

// Decodes the 26-byte little-endian frame-parameter record.
FrameGeometry DecodeFrameGeometry(const std::uint8_t (&record)[26]);

// The Bayer order of a colour model's sensor at its origin (column 0, row 0); kNone for
// monochrome models.
ColorFilter SensorColorFilter(std::uint8_t model_code);

// The order seen from the frame's first sample: the sensor site it reads (after region
// offset, mirroring and flipping) moves the pattern by one column or row when odd. Binning
// by an even factor reads one site only, which is no mosaic at all.
ColorFilter FrameColorFilter(ColorFilter sensor, const FrameGeometry& g);

FrameShape ShapeOf(const FrameGeometry& g, std::uint8_t model_code);

}  // namespace kepra::core
