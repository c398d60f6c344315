// The virtual camera's scene generator: determinism, response to exposure and gains, the
// Bayer mosaic, saturation, HDR, readout modes, defects, and its speed.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <numeric>
#include <vector>

#include "frames.h"

namespace {

using vcam::Mosaic;
using vcam::SceneSettings;

std::vector<std::uint16_t> Render(const SceneSettings& s) {
  std::vector<std::uint16_t> out(vcam::SceneWidth(s) * vcam::SceneHeight(s));
  vcam::RenderScene(s, out);
  return out;
}

double Mean(const std::vector<std::uint16_t>& v) {
  return std::accumulate(v.begin(), v.end(), 0.0) / static_cast<double>(v.size());
}

SceneSettings Quiet() {
  SceneSettings s;
  s.noise = false;
  return s;
}

TEST(Scene, SameSeedAndCounterGiveTheSameFrameOthersDiffer) {
  SceneSettings s;
  s.seed = 11;
  s.frame = 0xFFFFFF00u;
  const auto a = Render(s);
  EXPECT_EQ(a, Render(s));
  s.frame += 1;
  EXPECT_NE(a, Render(s));
  s.frame -= 1;
  s.seed = 12;
  EXPECT_NE(a, Render(s));
}

TEST(Scene, GeometryFollowsRegionAndBinning) {
  SceneSettings s;
  s.sensor_width = 1600;
  s.sensor_height = 1200;
  s.width = 1600;
  s.height = 1200;
  s.bin_x = 4;
  s.bin_y = 2;
  EXPECT_EQ(vcam::SceneWidth(s), 400u);
  EXPECT_EQ(vcam::SceneHeight(s), 600u);
  // A buffer too small for the frame is left alone.
  std::vector<std::uint16_t> small(400 * 600 - 1, 0xBEEF);
  vcam::RenderScene(s, small);
  EXPECT_TRUE(std::all_of(small.begin(), small.end(), [](auto v) { return v == 0xBEEF; }));
}

TEST(Scene, BrightnessIsProportionalToExposureAndGainBelowSaturation) {
  SceneSettings s = Quiet();
  s.exposure_lines = 400;
  const double base = Mean(Render(s));
  // Radiance 0.1 .. 0.9 at 400 / 1000 of the reference exposure: below a fifth of full scale.
  EXPECT_GT(base, 0.02 * 1023);
  EXPECT_LT(base, 0.2 * 1023);
  s.exposure_lines = 800;
  EXPECT_NEAR(Mean(Render(s)) / base, 2.0, 0.01);
  s.exposure_lines = 400;
  s.line_length = 164;  // exposure counts lines x line length
  EXPECT_NEAR(Mean(Render(s)) / base, 2.0, 0.01);
  s.line_length = 82;
  s.analog_gain = 1.5;
  s.digital_gain = 1.25;
  EXPECT_NEAR(Mean(Render(s)) / base, 1.875, 0.01);
  // With noise the mean moves by far less than a percent.
  s = SceneSettings{};
  s.exposure_lines = 400;
  EXPECT_NEAR(Mean(Render(s)) / base, 1.0, 0.01);
}

TEST(Scene, SamplesSaturateAtTheBitDepth) {
  for (std::uint16_t depth : {8, 10, 12}) {
    SceneSettings s;
    s.bit_depth = depth;
    s.analog_gain = 8.0;
    s.digital_gain = 15.875;
    const auto frame = Render(s);
    const std::uint16_t full = static_cast<std::uint16_t>((1u << depth) - 1);
    EXPECT_TRUE(std::all_of(frame.begin(), frame.end(), [&](auto v) { return v == full; }))
        << depth;
    s.analog_gain = 1.0;
    s.digital_gain = 1.0;
    const auto normal = Render(s);
    EXPECT_LE(*std::max_element(normal.begin(), normal.end()), full) << depth;
  }
}

TEST(Scene, EachColourGainScalesOnlyItsBayerSite) {
  // Sites (x & 1, y & 1): RGGB is R Gr / Gb B, GBRG is Gb B / R Gr. Gains: GB, GR, B, R.
  struct Case {
    Mosaic mosaic;
    int gain;            // index into colour_gain
    int site_x, site_y;  // the one site it must scale
  };
  const Case cases[] = {{Mosaic::kRggb, 3, 0, 0}, {Mosaic::kRggb, 1, 1, 0},
                        {Mosaic::kRggb, 0, 0, 1}, {Mosaic::kRggb, 2, 1, 1},
                        {Mosaic::kGbrg, 0, 0, 0}, {Mosaic::kGbrg, 2, 1, 0},
                        {Mosaic::kGbrg, 3, 0, 1}, {Mosaic::kGbrg, 1, 1, 1}};
  for (const Case& c : cases) {
    SceneSettings s = Quiet();
    s.mosaic = c.mosaic;
    s.exposure_lines = 300;
    const auto before = Render(s);
    s.colour_gain[c.gain] = 2.0;
    const auto after = Render(s);
    const std::uint32_t w = vcam::SceneWidth(s);
    for (std::size_t i = 0; i < before.size(); i += 7) {
      const int x = static_cast<int>(i % w) & 1, y = static_cast<int>(i / w) & 1;
      if (x == c.site_x && y == c.site_y) {
        ASSERT_NEAR(after[i], 2 * before[i], 2) << i;  // two truncations
      } else {
        ASSERT_EQ(after[i], before[i]) << i;
      }
    }
  }
}

TEST(Scene, HdrCompressesOnlyTheUpperHalf) {
  SceneSettings s = Quiet();
  s.exposure_lines = 1800;  // the brightest shape at 0.9 x 1.8 x half scale: 0.81 of full
  const auto linear = Render(s);
  s.hdr = true;
  const auto hdr = Render(s);
  std::size_t compressed = 0;
  for (std::size_t i = 0; i < linear.size(); ++i) {
    if (linear[i] <= 512) {
      ASSERT_EQ(hdr[i], linear[i]) << i;
    } else {
      ASSERT_LT(hdr[i], linear[i]) << i;
      ++compressed;
    }
  }
  EXPECT_GT(compressed, linear.size() / 100);
}

TEST(Scene, ReadoutModesRepeatLinesOrColumns) {
  SceneSettings s = Quiet();
  s.exposure_lines = 600;
  const auto normal = Render(s);
  const std::uint32_t w = vcam::SceneWidth(s), h = vcam::SceneHeight(s);
  for (std::uint8_t mode = 1; mode <= 3; ++mode) {
    s.readout_mode = mode;
    const auto frame = Render(s);
    EXPECT_NE(frame, normal) << int(mode);
    for (std::uint32_t y = 0; y < h; ++y) {
      for (std::uint32_t x = 0; x < w; ++x) {
        const std::uint32_t sy = (mode & 1) ? ((y & ~3u) | (y & 1u)) : y;
        const std::uint32_t sx = (mode & 2) ? ((x & ~3u) | (x & 1u)) : x;
        ASSERT_EQ(frame[y * w + x], normal[sy * w + sx]) << int(mode) << " " << x << "," << y;
      }
    }
  }
}

TEST(Scene, DefectsAppearWhereTheSensorPixelIsReadOut) {
  SceneSettings s;
  s.defects = {{10, 20, 1}, {11, 21, 0}, {5, 6, 3}};
  const std::uint32_t w = vcam::SceneWidth(s);
  auto frame = Render(s);
  EXPECT_EQ(frame[20 * w + 10], 1023);
  EXPECT_EQ(frame[21 * w + 11], 0);
  EXPECT_EQ(frame[6 * w + 5], 1023);
  // Mirrored: column 10 of the sensor is output column w - 11.
  s.flags = 1;
  frame = Render(s);
  EXPECT_EQ(frame[20 * w + (w - 1 - 10)], 1023);
  EXPECT_EQ(frame[21 * w + (w - 1 - 11)], 0);
  // A region that starts at (10, 20): the defect is its first sample.
  s.flags = 0;
  s.x = 10;
  s.y = 20;
  s.width = 100;
  s.height = 100;
  frame = Render(s);
  EXPECT_EQ(frame[0], 1023);
  EXPECT_EQ(frame[100 + 1], 0);
}

TEST(Scene, AFullLargeFrameRendersInMilliseconds) {
  SceneSettings s;
  s.sensor_width = s.width = 1600;
  s.sensor_height = s.height = 1200;
  s.mosaic = Mosaic::kGbrg;
  std::vector<std::uint16_t> out(1600 * 1200);
  vcam::RenderScene(s, out);  // warm up
  // Processor time, so that other processes on the machine do not count.
  const std::clock_t start = std::clock();
  constexpr int kFrames = 10;
  for (int i = 0; i < kFrames; ++i) {
    s.frame = static_cast<std::uint32_t>(i);
    vcam::RenderScene(s, out);
  }
  const double ms = 1000.0 * static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC / kFrames;
  std::printf("[ scene    ] 1600x1200 16-bit frame: %.2f ms of processor time\n", ms);
  EXPECT_LT(ms, 1000.0);  // a measurement, not a benchmark gate: sanitizer builds are slow
}

}  // namespace
