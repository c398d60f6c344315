// Grey-scale PNG files through libspng.
#pragma once

#include <cstdint>
#include <string>

namespace kepra_tool {

// Writes width x height samples as PNG stores them: bytes for bit_depth 8, big-endian 16-bit
// values for bit_depth 16.
// Returns an empty string on success, else what went wrong.
std::string WriteGrayPng(const std::string& path, std::uint32_t width, std::uint32_t height,
                         unsigned bit_depth, const std::uint8_t* samples);

}  // namespace kepra_tool
