// A baseline JPEG encoder for 8-bit grey images: the viewer's own, so that the tool builds where
// no JPEG library is packaged (mingw). Pure: it takes samples and returns bytes.
#pragma once

#include <cstdint>
#include <string>

namespace kepra_view {

// Largest side a baseline frame header can carry.
constexpr std::uint32_t kJpegMaxSide = 65535;

// Encodes width x height samples (rows top to bottom, no padding) as a baseline JFIF JPEG with
// one grey component: the IJG scaling of the standard's luminance table for `quality` (1..100)
// and the standard's Huffman tables. Sides need not be multiples of 8 (edge samples are
// repeated into the partial blocks). Appends to `out` and returns an empty string, or returns
// what was wrong with the arguments and leaves `out` as it was.
std::string EncodeGreyJpeg(const std::uint8_t* samples, std::uint32_t width, std::uint32_t height,
                           int quality, std::string& out);

// The quantisation table that `quality` gives, in natural (row-major) order; quality is clamped
// to 1..100.
void GreyJpegQuantTable(int quality, std::uint16_t table[64]);

}  // namespace kepra_view
