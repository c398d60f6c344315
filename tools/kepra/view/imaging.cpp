#include "imaging.h"

#include <spng.h>
#include <turbojpeg.h>

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

JpegEncoder::JpegEncoder() : handle_(tjInitCompress()) {}
JpegEncoder::~JpegEncoder() {
  if (handle_) tjDestroy(static_cast<tjhandle>(handle_));
}

std::string JpegEncoder::Encode(const std::uint8_t* grey, std::uint32_t width, std::uint32_t height,
                                int quality, std::string& error) {
  if (!handle_) {
    error = "libturbojpeg could not start";
    return {};
  }
  unsigned char* jpeg = nullptr;
  unsigned long size = 0;
  if (tjCompress2(static_cast<tjhandle>(handle_), grey, static_cast<int>(width), 0,
                  static_cast<int>(height), TJPF_GRAY, &jpeg, &size, TJSAMP_GRAY, quality,
                  TJFLAG_FASTDCT) != 0) {
    error = tjGetErrorStr2(static_cast<tjhandle>(handle_));
    tjFree(jpeg);
    return {};
  }
  std::string out(reinterpret_cast<const char*>(jpeg), size);
  tjFree(jpeg);
  return out;
}

std::string EncodePng16(const std::uint16_t* samples, std::uint32_t width, std::uint32_t height,
                        unsigned bit_depth, std::string& error) {
  bit_depth = std::clamp(bit_depth, 1u, 16u);
  // libspng takes 16-bit samples in the host's byte order and writes them big-endian.
  std::vector<std::uint16_t> rows(static_cast<std::size_t>(width) * height);
  for (std::size_t i = 0; i < rows.size(); ++i) {
    rows[i] = static_cast<std::uint16_t>(samples[i] << (16 - bit_depth));
  }
  std::unique_ptr<spng_ctx, void (*)(spng_ctx*)> ctx(spng_ctx_new(SPNG_CTX_ENCODER), spng_ctx_free);
  if (!ctx) {
    error = "libspng could not start";
    return {};
  }
  spng_set_option(ctx.get(), SPNG_ENCODE_TO_BUFFER, 1);
  // Fast over small: noisy 16-bit samples compress little anyway, and a recording must keep up
  // with the camera (trying every filter per row at the default level took seconds a frame).
  spng_set_option(ctx.get(), SPNG_FILTER_CHOICE, SPNG_FILTER_CHOICE_SUB);
  spng_set_option(ctx.get(), SPNG_IMG_COMPRESSION_LEVEL, 1);
  spng_ihdr ihdr{};
  ihdr.width = width;
  ihdr.height = height;
  ihdr.bit_depth = 16;
  ihdr.color_type = SPNG_COLOR_TYPE_GRAYSCALE;
  spng_set_ihdr(ctx.get(), &ihdr);
  if (const int rc = spng_encode_image(ctx.get(), rows.data(), rows.size() * 2, SPNG_FMT_PNG,
                                       SPNG_ENCODE_FINALIZE);
      rc != 0) {
    error = spng_strerror(rc);
    return {};
  }
  std::size_t size = 0;
  int rc = 0;
  void* png = spng_get_png_buffer(ctx.get(), &size, &rc);
  if (!png) {
    error = spng_strerror(rc);
    return {};
  }
  std::string out(static_cast<const char*>(png), size);
  std::free(png);
  return out;
}

}  // namespace kepra_view
