#include "imaging.h"

#include <zlib.h>

#include <algorithm>
#include <memory>

namespace kepra_view {

Histogram ComputeHistogram(const std::uint16_t* samples, std::size_t count, unsigned bit_depth) {
  Histogram h;
  bit_depth = std::clamp(bit_depth, 8u, 16u);
  const unsigned shift = bit_depth - 8;
  const std::uint32_t top = (1u << bit_depth) - 1;
  // Neighbouring samples mostly share a bin: four partial histograms keep consecutive
  // increments off the same counter, which would wait on each other's store.
  std::array<std::array<std::uint32_t, kHistogramBins>, 4> part{};
  std::uint64_t saturated = 0;
  std::uint32_t max_value = 0;
  const auto add = [&](std::size_t lane, std::uint32_t v) {
    ++part[lane][std::min<std::uint32_t>(v >> shift, kHistogramBins - 1)];
    saturated += v >= top;
    max_value = std::max(max_value, v);
  };
  std::size_t i = 0;
  for (; i + 4 <= count; i += 4) {
    add(0, samples[i]);
    add(1, samples[i + 1]);
    add(2, samples[i + 2]);
    add(3, samples[i + 3]);
  }
  for (; i < count; ++i) add(0, samples[i]);
  for (std::size_t b = 0; b < kHistogramBins; ++b) {
    h.bins[b] = part[0][b] + part[1][b] + part[2][b] + part[3][b];
  }
  h.saturated = saturated;
  h.max_value = max_value;
  return h;
}

SaturatedRuns FindSaturatedRuns(const std::uint16_t* samples, std::size_t count, unsigned bit_depth,
                                std::size_t max_runs) {
  SaturatedRuns out;
  bit_depth = std::clamp(bit_depth, 8u, 16u);
  const std::uint32_t top = (1u << bit_depth) - 1;
  std::size_t i = 0;
  while (i < count) {
    if (samples[i] < top) {
      ++i;
      continue;
    }
    const std::size_t start = i;
    while (i < count && samples[i] >= top) ++i;
    if (out.pairs.size() / 2 == max_runs) {
      out.complete = false;
      break;
    }
    out.pairs.push_back(static_cast<std::uint32_t>(start));
    out.pairs.push_back(static_cast<std::uint32_t>(i - start));
  }
  return out;
}

void To8Bit(const std::uint16_t* samples, std::size_t count, unsigned bit_depth,
            std::uint8_t* out) {
  bit_depth = std::clamp(bit_depth, 8u, 16u);
  const unsigned shift = bit_depth - 8;
  for (std::size_t i = 0; i < count; ++i) {
    out[i] = static_cast<std::uint8_t>(std::min<std::uint32_t>(samples[i] >> shift, 255));
  }
}

namespace {

void PutBe32(std::string& out, std::uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<char>(v >> shift));
}

void PutChunk(std::string& out, const char* type, const std::string& data) {
  PutBe32(out, static_cast<std::uint32_t>(data.size()));
  const std::size_t at = out.size();
  out.append(type, 4);
  out += data;
  const uLong crc = crc32(0, reinterpret_cast<const Bytef*>(out.data() + at), 4 + data.size());
  PutBe32(out, static_cast<std::uint32_t>(crc));
}

}  // namespace

std::string EncodePng16(const std::uint16_t* samples, std::uint32_t width, std::uint32_t height,
                        unsigned bit_depth, std::string& error) {
  // One deflate call takes at most 4 GiB; a camera frame is far below that.
  if (width == 0 || height == 0 || (std::uint64_t{width} * 2 + 1) * height >= (1ull << 31)) {
    error = "no PNG of " + std::to_string(width) + "x" + std::to_string(height) + " samples";
    return {};
  }
  bit_depth = std::clamp(bit_depth, 1u, 16u);
  // Rows filtered "Up" (the difference to the row above, in big-endian bytes): cheap, and it
  // suits camera images. Fast over small: noisy 16-bit samples compress little anyway, and a
  // recording must keep up with the camera.
  const std::size_t row = std::size_t{width} * 2;
  std::string filtered((row + 1) * height, '\0');
  std::vector<std::uint8_t> previous(row, 0), current(row);
  for (std::uint32_t y = 0; y < height; ++y) {
    const std::uint16_t* line = samples + std::size_t{y} * width;
    for (std::uint32_t x = 0; x < width; ++x) {
      const auto v = static_cast<std::uint16_t>(line[x] << (16 - bit_depth));
      current[2 * x] = static_cast<std::uint8_t>(v >> 8);
      current[2 * x + 1] = static_cast<std::uint8_t>(v);
    }
    char* out = filtered.data() + y * (row + 1);
    out[0] = 2;
    for (std::size_t i = 0; i < row; ++i) {
      out[i + 1] = static_cast<char>(static_cast<std::uint8_t>(current[i] - previous[i]));
    }
    previous.swap(current);
  }
  z_stream z{};
  if (deflateInit2(&z, 1, Z_DEFLATED, 15, 8, Z_RLE) != Z_OK) {
    error = "zlib could not start";
    return {};
  }
  std::string idat(deflateBound(&z, static_cast<uLong>(filtered.size())), '\0');
  z.next_in = reinterpret_cast<Bytef*>(filtered.data());
  z.avail_in = static_cast<uInt>(filtered.size());
  z.next_out = reinterpret_cast<Bytef*>(idat.data());
  z.avail_out = static_cast<uInt>(idat.size());
  const int rc = deflate(&z, Z_FINISH);
  idat.resize(z.total_out);
  deflateEnd(&z);
  if (rc != Z_STREAM_END) {
    error = "zlib failed";
    return {};
  }
  std::string png("\x89PNG\r\n\x1A\n", 8);
  std::string ihdr;
  PutBe32(ihdr, width);
  PutBe32(ihdr, height);
  ihdr += std::string("\x10\0\0\0\0", 5);  // 16 bits, grey, deflate, filters, no interlace
  PutChunk(png, "IHDR", ihdr);
  PutChunk(png, "IDAT", idat);
  PutChunk(png, "IEND", {});
  return png;
}

}  // namespace kepra_view
