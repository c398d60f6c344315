#include "image_files.h"

#include <spng.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

namespace kepra_tool {

namespace {

using File = std::unique_ptr<std::FILE, int (*)(std::FILE*)>;

std::string EncodePng(std::FILE* file, std::uint32_t width, std::uint32_t height,
                      unsigned bit_depth, const void* samples) {
  std::unique_ptr<spng_ctx, void (*)(spng_ctx*)> ctx(spng_ctx_new(SPNG_CTX_ENCODER),
                                                     &spng_ctx_free);
  if (!ctx) return "out of memory";
  spng_ihdr ihdr{};
  ihdr.width = width;
  ihdr.height = height;
  ihdr.bit_depth = static_cast<std::uint8_t>(bit_depth);
  ihdr.color_type = SPNG_COLOR_TYPE_GRAYSCALE;
  const std::size_t size = static_cast<std::size_t>(width) * height * (bit_depth == 16 ? 2 : 1);
  int rc = spng_set_png_file(ctx.get(), file);
  if (rc == 0) rc = spng_set_ihdr(ctx.get(), &ihdr);
  // Frames come fast: speed matters more than the last few per cent of size.
  if (rc == 0) rc = spng_set_option(ctx.get(), SPNG_IMG_COMPRESSION_LEVEL, 1);
  // SPNG_FMT_PNG takes 16-bit samples in host byte order and stores them big-endian itself.
  if (rc == 0) {
    rc = spng_encode_image(ctx.get(), samples, size, SPNG_FMT_PNG, SPNG_ENCODE_FINALIZE);
  }
  return rc == 0 ? std::string() : spng_strerror(rc);
}

void Put16(std::vector<std::uint8_t>& out, std::uint32_t v) {
  out.push_back(static_cast<std::uint8_t>(v));
  out.push_back(static_cast<std::uint8_t>(v >> 8));
}
void Put32(std::vector<std::uint8_t>& out, std::uint32_t v) {
  Put16(out, v & 0xFFFF);
  Put16(out, v >> 16);
}

// Baseline TIFF, little-endian ("II"): one IFD, one uncompressed strip, BlackIsZero.
std::string EncodeTiff(std::FILE* file, std::uint32_t width, std::uint32_t height,
                       unsigned bit_depth, const void* samples) {
  constexpr std::uint16_t kShort = 3, kLong = 4, kRational = 5;
  struct Entry {
    std::uint16_t tag, type;
    std::uint32_t value;
  };
  const std::uint32_t bytes = width * height * (bit_depth == 16 ? 2 : 1);
  constexpr std::uint32_t kEntries = 12;
  constexpr std::uint32_t kIfd = 8;
  constexpr std::uint32_t kRationals = kIfd + 2 + 12 * kEntries + 4;
  constexpr std::uint32_t kData = kRationals + 16;
  const Entry entries[kEntries] = {
      {256, kLong, width},               // ImageWidth
      {257, kLong, height},              // ImageLength
      {258, kShort, bit_depth},          // BitsPerSample
      {259, kShort, 1},                  // Compression: none
      {262, kShort, 1},                  // PhotometricInterpretation: BlackIsZero
      {273, kLong, kData},               // StripOffsets
      {277, kShort, 1},                  // SamplesPerPixel
      {278, kLong, height},              // RowsPerStrip
      {279, kLong, bytes},               // StripByteCounts
      {282, kRational, kRationals},      // XResolution
      {283, kRational, kRationals + 8},  // YResolution
      {296, kShort, 1},                  // ResolutionUnit: none
  };
  std::vector<std::uint8_t> head{'I', 'I', 42, 0};
  Put32(head, kIfd);
  Put16(head, kEntries);
  for (const Entry& e : entries) {
    Put16(head, e.tag);
    Put16(head, e.type);
    Put32(head, 1);
    if (e.type == kShort) {
      Put16(head, e.value);
      Put16(head, 0);
    } else {
      Put32(head, e.value);
    }
  }
  Put32(head, 0);  // no further IFD
  for (int i = 0; i < 2; ++i) {
    Put32(head, 1);  // 1/1: no physical size is known
    Put32(head, 1);
  }
  if (std::fwrite(head.data(), 1, head.size(), file) != head.size()) return "write error";
  if (bit_depth == 16) {
    // Samples go little-endian whatever the host order.
    const auto* in = static_cast<const std::uint16_t*>(samples);
    std::vector<std::uint8_t> row(static_cast<std::size_t>(width) * 2);
    for (std::uint32_t y = 0; y < height; ++y) {
      for (std::uint32_t x = 0; x < width; ++x) {
        const std::uint16_t v = in[static_cast<std::size_t>(y) * width + x];
        row[2 * x] = static_cast<std::uint8_t>(v);
        row[2 * x + 1] = static_cast<std::uint8_t>(v >> 8);
      }
      if (std::fwrite(row.data(), 1, row.size(), file) != row.size()) return "write error";
    }
  } else if (std::fwrite(samples, 1, bytes, file) != bytes) {
    return "write error";
  }
  return {};
}

}  // namespace

bool ImageFormatOf(const std::string& path, ImageFormat* format) {
  std::string lower = path;
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  const auto ends = [&](const char* suffix) {
    const std::size_t n = std::strlen(suffix);
    return lower.size() > n && lower.compare(lower.size() - n, n, suffix) == 0;
  };
  if (ends(".png")) {
    *format = ImageFormat::kPng;
    return true;
  }
  if (ends(".tif") || ends(".tiff")) {
    *format = ImageFormat::kTiff;
    return true;
  }
  return false;
}

std::string WriteGrayImage(const std::string& path, ImageFormat format, std::uint32_t width,
                           std::uint32_t height, unsigned bit_depth, const void* samples) {
  const std::string temporary = path + ".part";
  File file(std::fopen(temporary.c_str(), "wb"), &std::fclose);
  if (!file) return "cannot create " + temporary + ": " + std::strerror(errno);
  std::string error = format == ImageFormat::kPng
                          ? EncodePng(file.get(), width, height, bit_depth, samples)
                          : EncodeTiff(file.get(), width, height, bit_depth, samples);
  if (std::fclose(file.release()) != 0 && error.empty()) error = std::strerror(errno);
  if (error.empty() && std::rename(temporary.c_str(), path.c_str()) != 0) {
    error = "cannot rename " + temporary + " to " + path + ": " + std::strerror(errno);
  }
  if (!error.empty()) {
    std::remove(temporary.c_str());
    return path + ": " + error;
  }
  return {};
}

}  // namespace kepra_tool
