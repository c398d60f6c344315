// A frame into images: histogram and 8-bit view of full-depth samples, the 16-bit PNG of a
// snapshot (read back with libspng) and the viewer's own JPEG encoder (decoded with
// libjpeg-turbo).
//
// The JPEG tolerances come from the quantisation: rounding a coefficient to a multiple of q moves
// it by at most q/2, and an 8x8 orthonormal basis image has samples of at most C(u)C(v)/4 (C(0) =
// 1/sqrt2, else 1), so a sample moves by at most the sum of C(u)C(v)/4 * q(u,v)/2 over the
// coefficients that were not exactly zero; the decoder's integer transform and rounding add 1.
#include <gtest/gtest.h>
#include <spng.h>
#include <turbojpeg.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <map>
#include <numeric>
#include <random>
#include <tuple>
#include <vector>

#include "imaging.h"
#include "jpeg_encoder.h"

namespace kv = kepra_view;

TEST(ViewImaging, HistogramBinsTopBitsAndCountsSaturation) {
  // Depth, samples, then every non-empty bin, the saturated count and the largest sample: at 10
  // bits bin = value / 4 and 1023 saturates; at 12 bits 4095 does, 4094 not, both in the last
  // bin; a sample above its depth (a camera fault) lands in the last bin and counts as saturated.
  const std::tuple<unsigned, std::vector<std::uint16_t>, std::map<int, std::uint64_t>,
                   std::uint64_t, std::uint32_t>
      cases[] = {
          {10, {0, 3, 4, 512, 1022, 1023, 1023}, {{0, 2}, {1, 1}, {128, 1}, {255, 3}}, 2, 1023},
          {8, {255, 254, 0}, {{0, 1}, {254, 1}, {255, 1}}, 1, 255},
          {12, {4094, 4095, 16}, {{1, 1}, {255, 2}}, 1, 4095},
          {10, {0xFFFF}, {{255, 1}}, 1, 0xFFFF}};
  for (const auto& [depth, samples, bins, saturated, max] : cases) {
    const auto h = kv::ComputeHistogram(samples.data(), samples.size(), depth);
    std::map<int, std::uint64_t> filled;
    for (int b = 0; b < 256; ++b) {
      if (h.bins[b] != 0) filled[b] = h.bins[b];
    }
    EXPECT_EQ(filled, bins) << depth;
    EXPECT_EQ(std::tie(h.saturated, h.max_value), std::tie(saturated, max)) << depth;
  }
}

TEST(ViewImaging, EightBitViewKeepsTheTopBits) {
  const std::vector<std::uint16_t> s{0, 1023, 512, 3, 4, 0xFFFF};
  std::vector<std::uint8_t> out(s.size());
  kv::To8Bit(s.data(), s.size(), 10, out.data());
  EXPECT_EQ(out, (std::vector<std::uint8_t>{0, 255, 128, 0, 1, 255}));
}

TEST(ViewImaging, PngHoldsTheSamplesScaledToSixteenBits) {
  // 10-bit samples, odd width, read back by libspng: value << 6, rows in order.
  const std::uint32_t w = 5, h = 3;
  std::vector<std::uint16_t> s(w * h);
  for (std::uint32_t i = 0; i < s.size(); ++i) s[i] = static_cast<std::uint16_t>(i * 73 % 1024);
  s[7] = 1023;
  std::string error;
  const std::string png = kv::EncodePng16(s.data(), w, h, 10, error);
  ASSERT_FALSE(png.empty()) << error;
  spng_ctx* ctx = spng_ctx_new(0);
  spng_ihdr ihdr{};
  std::vector<std::uint16_t> back(w * h), expected(w * h);
  ASSERT_EQ(spng_set_png_buffer(ctx, png.data(), png.size()), 0);
  ASSERT_EQ(spng_get_ihdr(ctx, &ihdr), 0);
  // SPNG_FMT_PNG: the samples as stored, in the host's byte order.
  ASSERT_EQ(spng_decode_image(ctx, back.data(), back.size() * 2, SPNG_FMT_PNG, 0), 0);
  spng_ctx_free(ctx);
  EXPECT_EQ(std::tie(ihdr.width, ihdr.height, ihdr.bit_depth, ihdr.color_type),
            std::make_tuple(w, h, std::uint8_t{16}, std::uint8_t{SPNG_COLOR_TYPE_GRAYSCALE}));
  for (std::size_t i = 0; i < s.size(); ++i) expected[i] = static_cast<std::uint16_t>(s[i] << 6);
  EXPECT_EQ(back, expected);
  EXPECT_EQ(kv::EncodePng16(s.data(), 0, h, 10, error), "");
  EXPECT_EQ(error, "no PNG of 0x3 samples");
}

TEST(ViewImaging, SaturatedRunsCoverExactlyTheSaturatedSamples) {
  // 10 bits, 1023 saturates: runs at 1 (length 2), 5 (length 1) and 7 (length 3, to the end).
  const std::vector<std::uint16_t> s{0, 1023, 1023, 1022, 7, 1023, 0, 1023, 1023, 1023};
  const auto all = kv::FindSaturatedRuns(s.data(), s.size(), 10, 100);
  EXPECT_TRUE(all.complete);
  EXPECT_EQ(all.pairs, (std::vector<std::uint32_t>{1, 2, 5, 1, 7, 3}));
  // Limited to two runs: the first two, marked incomplete.
  const auto two = kv::FindSaturatedRuns(s.data(), s.size(), 10, 2);
  EXPECT_FALSE(two.complete);
  EXPECT_EQ(two.pairs, (std::vector<std::uint32_t>{1, 2, 5, 1}));
  // Exactly as many runs as allowed is complete.
  EXPECT_TRUE(kv::FindSaturatedRuns(s.data(), s.size(), 10, 3).complete);
  // 12 bits: 1023 is far from saturated; 4095 and a sample above the depth count.
  const std::vector<std::uint16_t> t{1023, 4095, 0xFFFF, 4094};
  EXPECT_EQ(kv::FindSaturatedRuns(t.data(), t.size(), 12, 100).pairs,
            (std::vector<std::uint32_t>{1, 2}));
  EXPECT_TRUE(kv::FindSaturatedRuns(t.data(), 0, 12, 100).pairs.empty());
}

namespace {

struct Decoded {
  int width = 0, height = 0, subsampling = -1;
  std::vector<std::uint8_t> grey;
};

Decoded Decode(const std::string& jpeg) {
  Decoded d;
  tjhandle h = tjInitDecompress();
  const auto* data = reinterpret_cast<const unsigned char*>(jpeg.data());
  int space = 0;
  if (tjDecompressHeader3(h, data, jpeg.size(), &d.width, &d.height, &d.subsampling, &space) == 0) {
    d.grey.resize(static_cast<std::size_t>(d.width) * d.height);
    if (tjDecompress2(h, data, jpeg.size(), d.grey.data(), d.width, 0, d.height, TJPF_GRAY, 0)) {
      d.grey.clear();
    }
  }
  if (d.grey.empty()) ADD_FAILURE() << "not decoded: " << tjGetErrorStr2(h);
  tjDestroy(h);
  return d;
}

std::string Encode(const std::vector<std::uint8_t>& grey, std::uint32_t w, std::uint32_t h,
                   int quality) {
  std::string out;
  const std::string error = kv::EncodeGreyJpeg(grey.data(), w, h, quality, out);
  EXPECT_EQ(error, "");
  return out;
}

int MaxError(const std::vector<std::uint8_t>& a, const std::vector<std::uint8_t>& b) {
  if (a.size() != b.size()) return 999;
  return std::transform_reduce(
      a.begin(), a.end(), b.begin(), 0, [](int x, int y) { return std::max(x, y); },
      [](int x, int y) { return std::abs(x - y); });
}

// Bound for coefficients along one axis only (every row, or every column, of the image alike):
// sum over k of C(0)C(k)/4 * q_k/2, plus 1 for the decoder.
double OneAxisBound(const std::vector<int>& q) {
  const double c0 = 1 / std::sqrt(2.0);
  double sum = 0;
  for (std::size_t k = 0; k < q.size(); ++k) sum += c0 * (k == 0 ? c0 : 1.0) / 4 * q[k] / 2;
  return sum + 1;
}

}  // namespace

TEST(ViewJpeg, FlatImagesOfAnySizeComeBackFlat) {
  // Only the DC coefficient is non-zero: it moves by at most q0/2 = 2.5 at quality 85, a sample
  // by C(0)^2/4 * 2.5 = 0.31, so the decoder's rounding gives the value back, +-1.
  for (const auto& [w, h] : std::vector<std::pair<std::uint32_t, std::uint32_t>>{
           {1, 1}, {8, 8}, {7, 9}, {13, 17}, {1280, 1024}, {1281, 3}}) {
    for (const int value : {0, 1, 128, 254, 255}) {
      const std::vector<std::uint8_t> grey(std::size_t{w} * h, static_cast<std::uint8_t>(value));
      const std::string jpeg = Encode(grey, w, h, 85);
      EXPECT_EQ(jpeg.substr(0, 2), "\xFF\xD8");
      EXPECT_EQ(jpeg.substr(jpeg.size() - 2), "\xFF\xD9");
      const Decoded d = Decode(jpeg);
      EXPECT_EQ(std::tie(d.width, d.height, d.subsampling),
                std::make_tuple(int(w), int(h), int(TJSAMP_GRAY)));
      EXPECT_LE(MaxError(d.grey, grey), 1) << value << " at " << w << "x" << h;
    }
  }
}

TEST(ViewJpeg, QualityScalesTheStandardTable) {
  // Hand-worked: quality 85 scales by 30%, quality 50 keeps the table, 100 gives all ones, and
  // quality 10 scales by 500% up to the byte limit.
  std::uint16_t t[64];
  kv::GreyJpegQuantTable(85, t);
  EXPECT_EQ((std::vector<int>{t[0], t[1], t[2], t[3], t[4], t[5], t[6], t[7]}),
            (std::vector<int>{5, 3, 3, 5, 7, 12, 15, 18}));
  EXPECT_EQ(t[63], 30);  // 99 * 0.3 rounded
  kv::GreyJpegQuantTable(50, t);
  EXPECT_EQ(t[0], 16);
  EXPECT_EQ(t[56], 72);
  kv::GreyJpegQuantTable(100, t);
  EXPECT_EQ(std::count(t, t + 64, 1), 64);
  kv::GreyJpegQuantTable(10, t);
  EXPECT_EQ(t[0], 80);
  EXPECT_EQ(t[63], 255);  // 495, clamped for 8-bit tables
}

TEST(ViewJpeg, GradientsStayWithinTheQuantisationBound) {
  // Quality 85: the first row and the first column of the scaled table (hand-worked as above).
  const double across = OneAxisBound({5, 3, 3, 5, 7, 12, 15, 18});  // 6.9
  const double down = OneAxisBound({5, 4, 4, 4, 5, 7, 15, 22});     // 6.7
  // Sides that are no multiple of 8: the repeated edge samples keep every row (column) alike.
  const std::uint32_t w = 100, h = 21;
  std::vector<std::uint8_t> ramp_x(w * h), ramp_y(w * h);
  for (std::uint32_t y = 0; y < h; ++y) {
    for (std::uint32_t x = 0; x < w; ++x) {
      ramp_x[y * w + x] = static_cast<std::uint8_t>(x * 255 / (w - 1));
      ramp_y[y * w + x] = static_cast<std::uint8_t>(y * 12);
    }
  }
  const Decoded dx = Decode(Encode(ramp_x, w, h, 85));
  EXPECT_LE(MaxError(dx.grey, ramp_x), across);
  const Decoded dy = Decode(Encode(ramp_y, w, h, 85));
  EXPECT_LE(MaxError(dy.grey, ramp_y), down);
  // A coarser quality keeps the ramp's shape: still increasing along the row, bar the bound.
  const Decoded coarse = Decode(Encode(ramp_x, w, h, 30));
  ASSERT_EQ(coarse.grey.size(), ramp_x.size());
  EXPECT_LT(coarse.grey[10 * w + 5], coarse.grey[10 * w + 50]);
  EXPECT_LT(coarse.grey[10 * w + 50], coarse.grey[10 * w + 95]);
}

TEST(ViewJpeg, NoiseAtFullQualityKeepsEverySample) {
  // Quality 100: q = 1 everywhere. Worst case: (1/sqrt2 + 7)^2 / 8 = 7.4, plus 1. Each
  // coefficient moves by a uniform +-0.5, and the basis is orthonormal, so a sample's error has
  // variance 1/12 (RMS 0.29) before the decoder rounds to whole values (another 1/12).
  const std::uint32_t w = 123, h = 45;
  std::mt19937 random(19);
  std::vector<std::uint8_t> noise(w * h);
  for (auto& v : noise) v = static_cast<std::uint8_t>(random() & 0xFF);
  const std::string jpeg = Encode(noise, w, h, 100);
  EXPECT_NE(jpeg.find("\xFF\x00", 2, 2), std::string::npos);  // noise needs stuffed bytes
  const Decoded d = Decode(jpeg);
  ASSERT_EQ(d.grey.size(), noise.size());
  EXPECT_LE(MaxError(d.grey, noise), 8);
  const double squares =
      std::transform_reduce(noise.begin(), noise.end(), d.grey.begin(), 0.0, std::plus<>(),
                            [](int x, int y) { return (x - y) * (x - y); });
  EXPECT_LT(std::sqrt(squares / noise.size()), 0.6);

  // The largest coefficients of all: a 0/255 checkerboard at quality 100.
  std::vector<std::uint8_t> board(64 * 64);
  for (std::uint32_t i = 0; i < board.size(); ++i) board[i] = ((i % 64 + i / 64) % 2) ? 255 : 0;
  EXPECT_LE(MaxError(Decode(Encode(board, 64, 64, 100)).grey, board), 8);

  // Lower quality: a smaller file.
  EXPECT_LT(Encode(noise, w, h, 50).size(), jpeg.size());
}

TEST(ViewJpeg, BadArgumentsAreNamedAndLeaveTheOutputAlone) {
  const std::vector<std::uint8_t> grey(64, 1);
  std::string out = "kept";
  for (const auto& [samples, w, h, quality, error] :
       {std::tuple{grey.data(), 0u, 8u, 85, "empty image (0x8)"},
        {grey.data(), 8u, 0u, 85, "empty image (8x0)"},
        {grey.data(), 70000u, 1u, 85, "image too large for JPEG (70000x1, at most 65535 a side)"},
        {grey.data(), 8u, 8u, 0, "JPEG quality 0 outside 1..100"},
        {grey.data(), 8u, 8u, 101, "JPEG quality 101 outside 1..100"},
        {static_cast<const std::uint8_t*>(nullptr), 8u, 8u, 85, "no samples"}}) {
    EXPECT_EQ(kv::EncodeGreyJpeg(samples, w, h, quality, out), error);
  }
  EXPECT_EQ(out, "kept");
  EXPECT_EQ(kv::EncodeGreyJpeg(grey.data(), 8, 8, 85, out), "");  // a good call appends
  EXPECT_EQ(out.substr(0, 6), "kept\xFF\xD8");
}
