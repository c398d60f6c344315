#include "png_writer.h"

#include <spng.h>

#include <cstdio>
#include <memory>

namespace kepra_tool {

std::string WriteGrayPng(const std::string& path, std::uint32_t width, std::uint32_t height,
                         unsigned bit_depth, const std::uint8_t* samples) {
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "wb"),
                                                       &std::fclose);
  if (!file) return "cannot create " + path;
  std::unique_ptr<spng_ctx, void (*)(spng_ctx*)> ctx(spng_ctx_new(SPNG_CTX_ENCODER),
                                                     &spng_ctx_free);
  if (!ctx) return "out of memory";
  spng_ihdr ihdr{};
  ihdr.width = width;
  ihdr.height = height;
  ihdr.bit_depth = static_cast<std::uint8_t>(bit_depth);
  ihdr.color_type = SPNG_COLOR_TYPE_GRAYSCALE;
  const std::size_t size = static_cast<std::size_t>(width) * height * (bit_depth == 16 ? 2 : 1);
  int rc = spng_set_png_file(ctx.get(), file.get());
  if (rc == 0) rc = spng_set_ihdr(ctx.get(), &ihdr);
  // Frames come fast: speed matters more than the last few per cent of size.
  if (rc == 0) rc = spng_set_option(ctx.get(), SPNG_IMG_COMPRESSION_LEVEL, 1);
  if (rc == 0) {
    // SPNG_FMT_PNG takes the rows as they go into the file: 16-bit samples big-endian.
    rc = spng_encode_image(ctx.get(), samples, size, SPNG_FMT_PNG, SPNG_ENCODE_FINALIZE);
  }
  if (rc != 0) return path + ": " + spng_strerror(rc);
  ctx.reset();
  if (std::fclose(file.release()) != 0) return "cannot write " + path;
  return {};
}

}  // namespace kepra_tool
