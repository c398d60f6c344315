// Colour from a Bayer mosaic, kept free of the camera so that it can be checked on its own.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kepra_tool {

// Where red sits in the 2 x 2 block at the frame's origin, for the KEPRA_CFA_* values
// (1 RGGB, 2 GRBG, 3 GBRG, 4 BGGR); blue sits diagonally opposite, green on the other two.
struct RedSite {
  unsigned x, y;
};
inline RedSite RedSiteOf(std::uint32_t cfa) {
  switch (cfa) {
    case 2:
      return {1, 0};
    case 3:
      return {0, 1};
    case 4:
      return {1, 1};
    default:
      return {0, 0};
  }
}

// Bilinear demosaicing: every pixel keeps its own sample and takes each missing colour as the
// mean of that colour's samples among its eight neighbours. At the border the neighbours are
// mirrored (column -1 is column 1), which keeps the mosaic's pattern. `rgb` receives
// width * height * 3 values; width and height are at least 2.
template <typename T>
void Debayer(const T* mosaic, std::uint32_t width, std::uint32_t height, std::uint32_t cfa,
             T* rgb) {
  const RedSite red = RedSiteOf(cfa);
  // 0 red, 1 green, 2 blue of a site.
  const auto colour = [&](std::uint32_t x, std::uint32_t y) -> unsigned {
    const bool rx = (x & 1u) == red.x, ry = (y & 1u) == red.y;
    return rx && ry ? 0u : (!rx && !ry ? 2u : 1u);
  };
  const auto mirror = [](std::int64_t v, std::uint32_t size) {
    if (v < 0) return static_cast<std::uint32_t>(-v);
    if (v >= size) return static_cast<std::uint32_t>(2 * (size - 1) - v);
    return static_cast<std::uint32_t>(v);
  };
  for (std::uint32_t y = 0; y < height; ++y) {
    for (std::uint32_t x = 0; x < width; ++x) {
      std::uint32_t sum[3] = {0, 0, 0}, count[3] = {0, 0, 0};
      for (int dy = -1; dy <= 1; ++dy) {
        const std::uint32_t ny = mirror(static_cast<std::int64_t>(y) + dy, height);
        for (int dx = -1; dx <= 1; ++dx) {
          const std::uint32_t nx = mirror(static_cast<std::int64_t>(x) + dx, width);
          const unsigned c = colour(nx, ny);
          sum[c] += mosaic[static_cast<std::size_t>(ny) * width + nx];
          ++count[c];
        }
      }
      T* out = rgb + (static_cast<std::size_t>(y) * width + x) * 3;
      const unsigned own = colour(x, y);
      for (unsigned c = 0; c < 3; ++c) {
        out[c] = c == own ? mosaic[static_cast<std::size_t>(y) * width + x]
                          : static_cast<T>((sum[c] + count[c] / 2) / count[c]);
      }
    }
  }
}

}  // namespace kepra_tool
