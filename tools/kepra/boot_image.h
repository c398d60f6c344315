// The tool's own check of an FX3 boot image before it writes one to flash address 0: the
// checks the FX3 boot loader makes before it starts an image read from SPI flash.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kepra_tool {

struct BootImageVerdict {
  bool valid = false;
  std::size_t image_bytes = 0;  // up to and including the stored checksum, when valid
  std::string reason;           // why not, when not valid
};

// `data` may hold more than the image; the bytes after the checksum are not looked at.
BootImageVerdict WalkBootImage(const std::uint8_t* data, std::size_t size);

}  // namespace kepra_tool
