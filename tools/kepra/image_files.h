// Image files: PNG (grey or RGB, 8 or 16 bits, deflated through zlib) and baseline TIFF (grey
// or RGB, 8 or 16 bits, uncompressed). A file appears under its name only when it is complete.
#pragma once

#include <cstdint>
#include <string>

namespace kepra_tool {

enum class ImageFormat { kPng, kTiff };

// The format a file name asks for (.png, .tif, .tiff, any case); false for another name.
bool ImageFormatOf(const std::string& path, ImageFormat* format);

struct ImageShape {
  std::uint32_t width = 0, height = 0;
  unsigned channels = 1;   // 1: grey, 3: red, green, blue interleaved
  unsigned bit_depth = 8;  // 8: bytes; 16: host-order 16-bit values
};

// Writes an image of `shape` from `samples` (rows top to bottom, channels interleaved). The
// file is written under a temporary name beside `path` and renamed when complete, so an
// interrupted write never leaves a truncated image under `path`. Returns an empty string on
// success, else what went wrong.
std::string WriteImage(const std::string& path, ImageFormat format, const ImageShape& shape,
                       const void* samples);

}  // namespace kepra_tool
