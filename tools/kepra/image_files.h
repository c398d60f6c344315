// Grey-scale image files: PNG (8 or 16 bits, through libspng) and baseline TIFF (8 or 16 bits,
// uncompressed). A file appears under its name only when it is complete.
#pragma once

#include <cstdint>
#include <string>

namespace kepra_tool {

enum class ImageFormat { kPng, kTiff };

// The format a file name asks for (.png, .tif, .tiff, any case); false for another name.
bool ImageFormatOf(const std::string& path, ImageFormat* format);

// Writes width x height samples: bytes for bit_depth 8, host-order 16-bit values for
// bit_depth 16. The file is written under a temporary name beside `path` and renamed when
// complete, so an interrupted write never leaves a truncated image under `path`.
// Returns an empty string on success, else what went wrong.
std::string WriteGrayImage(const std::string& path, ImageFormat format, std::uint32_t width,
                           std::uint32_t height, unsigned bit_depth, const void* samples);

}  // namespace kepra_tool
