// What one 1280 x 1024 frame costs kepra view's broadcaster, stage by stage, in ms of one core:
// the histogram and saturated runs, the 8-bit view, and the JPEG by the viewer's own encoder and
// by libjpeg-turbo; and a snapshot's 16-bit PNG. The floor: at 30 fps the whole server may use 25%
// of a core, 8.3 ms a frame.
//   kepra_view_bench [frames]
#include <turbojpeg.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <random>
#include <string>
#include <vector>

#include "imaging.h"
#include "jpeg_encoder.h"

namespace {

// CPU time of this single-threaded process, so that other work on the machine does not count.
template <typename F>
double MsPerRun(int runs, F&& f) {
  f();  // warm caches and allocations
  const std::clock_t start = std::clock();
  for (int i = 0; i < runs; ++i) f();
  return 1000.0 * static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC / runs;
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 60;
  const std::uint32_t w = 1280, h = 1024;
  const unsigned depth = 12;
  // A camera-like 12-bit frame: a diagonal ramp, a bright disc, sensor noise of a few counts.
  std::mt19937 random(7);
  std::normal_distribution<double> noise(0, 8);
  std::vector<std::uint16_t> samples(std::size_t{w} * h);
  for (std::uint32_t y = 0; y < h; ++y) {
    for (std::uint32_t x = 0; x < w; ++x) {
      const double dx = x - 640.0, dy = y - 512.0;
      double v = (x + y) * 1.5 + (dx * dx + dy * dy < 200.0 * 200.0 ? 1500 : 0) + noise(random);
      samples[std::size_t{y} * w + x] = static_cast<std::uint16_t>(std::clamp(v, 0.0, 4095.0));
    }
  }
  std::vector<std::uint8_t> grey(samples.size());
  kepra_view::To8Bit(samples.data(), samples.size(), depth, grey.data());

  const double histogram = MsPerRun(runs, [&] {
    const auto hist = kepra_view::ComputeHistogram(samples.data(), samples.size(), depth);
    if (hist.saturated) kepra_view::FindSaturatedRuns(samples.data(), samples.size(), depth, 32768);
  });
  const double eight_bit = MsPerRun(
      runs, [&] { kepra_view::To8Bit(samples.data(), samples.size(), depth, grey.data()); });
  std::size_t own_bytes = 0, turbo_bytes = 0;
  std::string jpeg;
  const double own = MsPerRun(runs, [&] {
    jpeg.clear();
    kepra_view::EncodeGreyJpeg(grey.data(), w, h, 85, jpeg);
    own_bytes = jpeg.size();
  });
  // The encoder the viewer used before it had its own: libjpeg-turbo, fast integer DCT.
  tjhandle turbo = tjInitCompress();
  const double turbo_ms = MsPerRun(runs, [&] {
    unsigned char* out = nullptr;
    unsigned long size = 0;
    if (tjCompress2(turbo, grey.data(), static_cast<int>(w), 0, static_cast<int>(h), TJPF_GRAY,
                    &out, &size, TJSAMP_GRAY, 85, TJFLAG_FASTDCT) == 0) {
      turbo_bytes = size;
    }
    tjFree(out);
  });
  tjDestroy(turbo);
  // What the page's decoder (libjpeg-turbo inside Chromium) needs for our JPEG, to grey and to
  // the RGBA a canvas holds.
  jpeg.clear();
  kepra_view::EncodeGreyJpeg(grey.data(), w, h, 85, jpeg);
  tjhandle decoder = tjInitDecompress();
  std::vector<std::uint8_t> rgba(std::size_t{w} * h * 4);
  auto* jpeg_data = reinterpret_cast<unsigned char*>(jpeg.data());
  const double decode_grey = MsPerRun(runs, [&] {
    tjDecompress2(decoder, jpeg_data, jpeg.size(), grey.data(), static_cast<int>(w), 0,
                  static_cast<int>(h), TJPF_GRAY, 0);
  });
  const double decode_rgba = MsPerRun(runs, [&] {
    tjDecompress2(decoder, jpeg_data, jpeg.size(), rgba.data(), static_cast<int>(w), 0,
                  static_cast<int>(h), TJPF_RGBA, 0);
  });
  tjDestroy(decoder);
  std::string png_error;
  std::size_t png_bytes = 0;
  const double png = MsPerRun(std::max(1, runs / 10), [&] {
    png_bytes = kepra_view::EncodePng16(samples.data(), w, h, depth, png_error).size();
  });
  std::printf("kepra view, one %ux%u %u-bit frame, mean of %d runs (ms of one core)\n", w, h, depth,
              runs);
  std::printf("  %-36s %7.2f ms\n", "histogram + saturated runs", histogram);
  std::printf("  %-36s %7.2f ms\n", "8-bit view", eight_bit);
  std::printf("  %-36s %7.2f ms  %7zu bytes\n", "JPEG q85, own encoder", own, own_bytes);
  std::printf("  %-36s %7.2f ms  %7zu bytes\n", "JPEG q85, libjpeg-turbo (SIMD, fast DCT)",
              turbo_ms, turbo_bytes);
  std::printf("  %-36s %7.2f ms\n", "page side: decode to grey", decode_grey);
  std::printf("  %-36s %7.2f ms\n", "page side: decode to RGBA", decode_rgba);
  std::printf("  %-36s %7.2f ms  %7zu bytes\n", "16-bit PNG (snapshot, recording)", png, png_bytes);
  std::printf("  floor: 8.3 ms a frame for the whole server at 30 fps (25%% of a core)\n");
  return 0;
}
