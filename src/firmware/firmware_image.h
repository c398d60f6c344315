// The FX3 firmware image that the library carries and writes to flash
// address 0. The bytes come from src/firmware/kepra_fx3.img; the build
// turns that file into a source file (cmake/EmbedFile.cmake), so the length
// is always the file's own.
#pragma once

#include <cstddef>

namespace kepra::firmware {

extern const unsigned char kImage[];
extern const std::size_t kImageSize;

}  // namespace kepra::firmware
