#include "image_files.h"

#include <zlib.h>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#endif

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

void PutBe32(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v >> 24);
  p[1] = static_cast<std::uint8_t>(v >> 16);
  p[2] = static_cast<std::uint8_t>(v >> 8);
  p[3] = static_cast<std::uint8_t>(v);
}

bool WriteChunk(std::FILE* file, const char* type, const std::uint8_t* data, std::uint32_t size) {
  std::uint8_t head[8];
  PutBe32(head, size);
  std::memcpy(head + 4, type, 4);
  uLong crc = crc32(0, head + 4, 4);
  if (size > 0) crc = crc32(crc, data, size);
  std::uint8_t tail[4];
  PutBe32(tail, static_cast<std::uint32_t>(crc));
  // fwrite must not see the null data of an empty chunk (IEND), even for zero bytes.
  return std::fwrite(head, 1, 8, file) == 8 &&
         (size == 0 || std::fwrite(data, 1, size, file) == size) &&
         std::fwrite(tail, 1, 4, file) == 4;
}

// PNG: IHDR, the rows deflated into IDAT chunks of up to 256 KiB, IEND. Each row is filtered
// with "Up" (the difference to the row above), which is cheap and suits camera images.
std::string EncodePng(std::FILE* file, const ImageShape& shape, const void* samples) {
  static const std::uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  if (std::fwrite(kSignature, 1, 8, file) != 8) return "write error";
  std::uint8_t ihdr[13] = {};
  PutBe32(ihdr, shape.width);
  PutBe32(ihdr + 4, shape.height);
  ihdr[8] = static_cast<std::uint8_t>(shape.bit_depth);
  ihdr[9] = shape.channels == 3 ? 2 : 0;  // colour type: RGB or grey
  if (!WriteChunk(file, "IHDR", ihdr, sizeof ihdr)) return "write error";

  z_stream z{};
  // Frames come fast: the fastest level, and run-length matches only, which on camera frames
  // (noise over smooth shapes, rows filtered against the row above) halve the time of a
  // 16-bit frame against the default strategy and come out no larger.
  if (deflateInit2(&z, 1, Z_DEFLATED, 15, 8, Z_RLE) != Z_OK) return "zlib could not start";
  std::unique_ptr<z_stream, int (*)(z_stream*)> end(&z, &deflateEnd);
  const std::size_t bytes = shape.bit_depth == 16 ? 2 : 1;
  const std::size_t row = static_cast<std::size_t>(shape.width) * shape.channels * bytes;
  std::vector<std::uint8_t> previous(row, 0), current(row), filtered(row + 1);
  std::vector<std::uint8_t> out(256 * 1024);
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  const auto flush_out = [&]() {
    const auto size = static_cast<std::uint32_t>(out.size() - z.avail_out);
    if (size > 0 && !WriteChunk(file, "IDAT", out.data(), size)) return false;
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    return true;
  };
  const auto* in8 = static_cast<const std::uint8_t*>(samples);
  const auto* in16 = static_cast<const std::uint16_t*>(samples);
  for (std::uint32_t y = 0; y <= shape.height; ++y) {
    const bool last = y == shape.height;
    if (!last) {
      if (bytes == 2) {
        // PNG stores 16-bit samples big-endian.
        const std::uint16_t* line = in16 + y * (row / 2);
        for (std::size_t i = 0; i < row / 2; ++i) {
          current[2 * i] = static_cast<std::uint8_t>(line[i] >> 8);
          current[2 * i + 1] = static_cast<std::uint8_t>(line[i]);
        }
      } else {
        std::memcpy(current.data(), in8 + y * row, row);
      }
      filtered[0] = 2;
      for (std::size_t i = 0; i < row; ++i) {
        filtered[i + 1] = static_cast<std::uint8_t>(current[i] - previous[i]);
      }
      previous.swap(current);
      z.next_in = filtered.data();
      z.avail_in = static_cast<uInt>(filtered.size());
    }
    for (;;) {
      const int rc = deflate(&z, last ? Z_FINISH : Z_NO_FLUSH);
      if (rc == Z_STREAM_ERROR) return "zlib failed";
      if (z.avail_out == 0) {
        if (!flush_out()) return "write error";
        continue;
      }
      if (last ? rc == Z_STREAM_END : z.avail_in == 0) break;
    }
  }
  if (!flush_out()) return "write error";
  if (!WriteChunk(file, "IEND", nullptr, 0)) return "write error";
  return {};
}

void Put16(std::vector<std::uint8_t>& out, std::uint32_t v) {
  out.push_back(static_cast<std::uint8_t>(v));
  out.push_back(static_cast<std::uint8_t>(v >> 8));
}
void Put32(std::vector<std::uint8_t>& out, std::uint32_t v) {
  Put16(out, v & 0xFFFF);
  Put16(out, v >> 16);
}

// Baseline TIFF, little-endian ("II"): one IFD, one uncompressed strip, BlackIsZero grey or
// RGB with interleaved samples.
std::string EncodeTiff(std::FILE* file, const ImageShape& shape, const void* samples) {
  constexpr std::uint16_t kShort = 3, kLong = 4, kRational = 5;
  struct Entry {
    std::uint16_t tag, type;
    std::uint32_t count, value;
  };
  const std::uint32_t channels = shape.channels, depth = shape.bit_depth;
  const std::uint32_t values = shape.width * shape.height * channels;
  const std::uint32_t bytes = values * (depth == 16 ? 2 : 1);
  constexpr std::uint32_t kEntries = 13;
  constexpr std::uint32_t kIfd = 8;
  constexpr std::uint32_t kRationals = kIfd + 2 + 12 * kEntries + 4;
  constexpr std::uint32_t kBitsArray = kRationals + 16;  // RGB: three BitsPerSample values
  constexpr std::uint32_t kData = kBitsArray + 8;
  const bool rgb = channels == 3;
  const Entry entries[kEntries] = {
      {256, kLong, 1, shape.width},                       // ImageWidth
      {257, kLong, 1, shape.height},                      // ImageLength
      {258, kShort, channels, rgb ? kBitsArray : depth},  // BitsPerSample
      {259, kShort, 1, 1},                                // Compression: none
      {262, kShort, 1, rgb ? 2u : 1u},                    // PhotometricInterpretation
      {273, kLong, 1, kData},                             // StripOffsets
      {277, kShort, 1, channels},                         // SamplesPerPixel
      {278, kLong, 1, shape.height},                      // RowsPerStrip
      {279, kLong, 1, bytes},                             // StripByteCounts
      {282, kRational, 1, kRationals},                    // XResolution
      {283, kRational, 1, kRationals + 8},                // YResolution
      {284, kShort, 1, 1},                                // PlanarConfiguration: interleaved
      {296, kShort, 1, 1},                                // ResolutionUnit: none
  };
  std::vector<std::uint8_t> head{'I', 'I', 42, 0};
  Put32(head, kIfd);
  Put16(head, kEntries);
  for (const Entry& e : entries) {
    Put16(head, e.tag);
    Put16(head, e.type);
    Put32(head, e.count);
    if (e.type == kShort && e.count == 1) {
      Put16(head, e.value);
      Put16(head, 0);
    } else {
      Put32(head, e.value);  // a value, or the offset of the values
    }
  }
  Put32(head, 0);  // no further IFD
  for (int i = 0; i < 2; ++i) {
    Put32(head, 1);  // 1/1: no physical size is known
    Put32(head, 1);
  }
  for (int i = 0; i < 3; ++i) Put16(head, depth);
  Put16(head, 0);
  if (std::fwrite(head.data(), 1, head.size(), file) != head.size()) return "write error";
  if (depth == 16) {
    // Samples go little-endian whatever the host order.
    const auto* in = static_cast<const std::uint16_t*>(samples);
    const std::size_t row_values = static_cast<std::size_t>(shape.width) * channels;
    std::vector<std::uint8_t> row(row_values * 2);
    for (std::uint32_t y = 0; y < shape.height; ++y) {
      for (std::size_t x = 0; x < row_values; ++x) {
        const std::uint16_t v = in[y * row_values + x];
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

// Replaces `to` with `from`; Windows' rename refuses an existing target.
bool ReplaceFile(const std::string& from, const std::string& to) {
#ifdef _WIN32
  return MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
#else
  return std::rename(from.c_str(), to.c_str()) == 0;
#endif
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

std::string WriteImage(const std::string& path, ImageFormat format, const ImageShape& shape,
                       const void* samples) {
  const std::string temporary = path + ".part";
  File file(std::fopen(temporary.c_str(), "wb"), &std::fclose);
  if (!file) return "cannot create " + temporary + ": " + std::strerror(errno);
  std::string error = format == ImageFormat::kPng ? EncodePng(file.get(), shape, samples)
                                                  : EncodeTiff(file.get(), shape, samples);
  if (std::fclose(file.release()) != 0 && error.empty()) error = std::strerror(errno);
  if (error.empty() && !ReplaceFile(temporary, path)) {
    error = "cannot rename " + temporary + " to " + path;
  }
  if (!error.empty()) {
    std::remove(temporary.c_str());
    return path + ": " + error;
  }
  return {};
}

}  // namespace kepra_tool
