// Histogram and 8-bit view of full-depth samples, and the JPEG the page receives.
#include <gtest/gtest.h>
#include <turbojpeg.h>

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

TEST(ViewImaging, JpegDecodesToTheGreyImage) {
  // A left-to-right ramp, checked by decoding the JPEG again.
  const std::uint32_t w = 64, h = 16;
  std::vector<std::uint8_t> grey(w * h);
  for (std::uint32_t y = 0; y < h; ++y) {
    for (std::uint32_t x = 0; x < w; ++x) grey[y * w + x] = static_cast<std::uint8_t>(x * 4);
  }
  kv::JpegEncoder encoder;
  std::string error;
  const std::string jpeg = encoder.Encode(grey.data(), w, h, 95, error);
  ASSERT_FALSE(jpeg.empty()) << error;
  EXPECT_EQ(static_cast<unsigned char>(jpeg[0]), 0xFF);
  EXPECT_EQ(static_cast<unsigned char>(jpeg[1]), 0xD8);
  tjhandle d = tjInitDecompress();
  int dw = 0, dh = 0, sub = 0, space = 0;
  auto* data = reinterpret_cast<unsigned char*>(const_cast<char*>(jpeg.data()));
  ASSERT_EQ(tjDecompressHeader3(d, data, jpeg.size(), &dw, &dh, &sub, &space), 0);
  EXPECT_EQ(dw, 64);
  EXPECT_EQ(dh, 16);
  std::vector<std::uint8_t> back(w * h);
  ASSERT_EQ(tjDecompress2(d, data, jpeg.size(), back.data(), dw, 0, dh, TJPF_GRAY, 0), 0);
  tjDestroy(d);
  for (std::uint32_t x = 0; x < w; x += 8) EXPECT_NEAR(back[5 * w + x], x * 4, 6) << x;
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
