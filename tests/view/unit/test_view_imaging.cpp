// Histogram and 8-bit view of full-depth samples, and the 16-bit PNG of a snapshot.
#include <gtest/gtest.h>
#include <spng.h>

#include <vector>

#include "imaging.h"

namespace kv = kepra_view;

TEST(ViewImaging, HistogramBinsTopBitsAndCountsSaturation) {
  // 10-bit samples: bin = value / 4; 1023 is saturated.
  const std::vector<std::uint16_t> s{0, 3, 4, 512, 1022, 1023, 1023};
  const auto h = kv::ComputeHistogram(s.data(), s.size(), 10);
  EXPECT_EQ(h.bins[0], 2u);
  EXPECT_EQ(h.bins[1], 1u);
  EXPECT_EQ(h.bins[128], 1u);
  EXPECT_EQ(h.bins[255], 3u);
  EXPECT_EQ(h.saturated, 2u);
  EXPECT_EQ(h.max_value, 1023u);
  std::uint64_t total = 0;
  for (const auto b : h.bins) total += b;
  EXPECT_EQ(total, s.size());

  const std::vector<std::uint16_t> eight{255, 254, 0};
  EXPECT_EQ(kv::ComputeHistogram(eight.data(), eight.size(), 8).saturated, 1u);
  // 12 bits: 4095 saturates, 4094 does not, both land in the last bin.
  const std::vector<std::uint16_t> twelve{4094, 4095, 16};
  const auto h12 = kv::ComputeHistogram(twelve.data(), twelve.size(), 12);
  EXPECT_EQ(h12.saturated, 1u);
  EXPECT_EQ(h12.bins[255], 2u);
  EXPECT_EQ(h12.bins[1], 1u);
  // A sample above its depth (a camera fault) still lands in the last bin.
  const std::vector<std::uint16_t> over{0xFFFF};
  EXPECT_EQ(kv::ComputeHistogram(over.data(), 1, 10).bins[255], 1u);
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
  ASSERT_EQ(spng_set_png_buffer(ctx, png.data(), png.size()), 0);
  spng_ihdr ihdr{};
  ASSERT_EQ(spng_get_ihdr(ctx, &ihdr), 0);
  EXPECT_EQ(ihdr.width, w);
  EXPECT_EQ(ihdr.height, h);
  EXPECT_EQ(ihdr.bit_depth, 16);
  EXPECT_EQ(ihdr.color_type, SPNG_COLOR_TYPE_GRAYSCALE);
  std::vector<std::uint16_t> back(w * h);
  // SPNG_FMT_PNG: the samples as stored, in the host's byte order.
  ASSERT_EQ(spng_decode_image(ctx, back.data(), back.size() * 2, SPNG_FMT_PNG, 0), 0);
  spng_ctx_free(ctx);
  for (std::size_t i = 0; i < s.size(); ++i) {
    EXPECT_EQ(back[i], s[i] << 6) << i;
  }
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
