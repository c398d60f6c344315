#include "core/frame_format_math.h"

#include "protocol/protocol.h"

namespace kepra::core {
namespace {

// The four orders as 2 x 2 tiles of sites: R = 0, G = 1, B = 2. A shift by one column swaps
// the columns of the tile, one row its rows.
struct Tile {
  ColorFilter order;
  std::uint8_t site[2][2];
};
constexpr Tile kTiles[] = {
    {ColorFilter::kRggb, {{0, 1}, {1, 2}}},
    {ColorFilter::kGrbg, {{1, 0}, {2, 1}}},
    {ColorFilter::kGbrg, {{1, 2}, {0, 1}}},
    {ColorFilter::kBggr, {{2, 1}, {1, 0}}},
};

std::uint16_t U16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }

}  // namespace

FrameGeometry DecodeFrameGeometry(const std::uint8_t (&record)[26]) {
  FrameGeometry g;
  g.x = U16(record);
  g.y = U16(record + 2);
  g.width = U16(record + 4);
  g.height = U16(record + 6);
  g.bit_depth = U16(record + 8);
  g.bin_x = U16(record + 10);
  g.bin_y = U16(record + 12);
  g.flags = U16(record + 14);
  return g;
}

ColorFilter SensorColorFilter(std::uint8_t model_code) {
  switch (model_code) {
    case '5':
      return ColorFilter::kRggb;
    case '8':
      return ColorFilter::kGbrg;
    default:
      return ColorFilter::kNone;
  }
}

ColorFilter FrameColorFilter(ColorFilter sensor, const FrameGeometry& g) {
  if (sensor == ColorFilter::kNone) return sensor;
  if (g.bin_x % 2 == 0 || g.bin_y % 2 == 0) return ColorFilter::kNone;
  // First output column: the region's first, or its last one read when mirrored.
  const unsigned last_x = g.width >= g.bin_x ? g.width - g.bin_x : 0u;
  const unsigned last_y = g.height >= g.bin_y ? g.height - g.bin_y : 0u;
  const unsigned odd_x = (g.x + ((g.flags & kMirrorX) ? last_x : 0u)) & 1u;
  const unsigned odd_y = (g.y + ((g.flags & kFlipY) ? last_y : 0u)) & 1u;
  const Tile* from = nullptr;
  for (const Tile& t : kTiles) {
    if (t.order == sensor) from = &t;
  }
  std::uint8_t shifted[2][2];
  for (unsigned r = 0; r < 2; ++r) {
    for (unsigned c = 0; c < 2; ++c) shifted[r][c] = from->site[r ^ odd_y][c ^ odd_x];
  }
  for (const Tile& t : kTiles) {
    if (t.site[0][0] == shifted[0][0] && t.site[0][1] == shifted[0][1] &&
        t.site[1][0] == shifted[1][0]) {
      return t.order;
    }
  }
  return ColorFilter::kNone;
}

FrameShape ShapeOf(const FrameGeometry& g, std::uint8_t model_code) {
  FrameShape s{};
  s.width = g.bin_x ? g.width / g.bin_x : 0u;
  s.height = g.bin_y ? g.height / g.bin_y : 0u;
  s.bit_depth = g.bit_depth;
  s.bytes8 = s.width * s.height;
  s.bytes16 = s.bytes8 * 2;
  s.bytes_ex8 = protocol::kFrameInfoSize + s.bytes8;
  s.bytes_ex16 = protocol::kFrameInfoSize + s.bytes16;
  s.color_filter = FrameColorFilter(SensorColorFilter(model_code), g);
  return s;
}

}  // namespace kepra::core
