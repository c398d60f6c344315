// The virtual camera's scene generator, where other suites rely on it: the same frame for the
// same seed and counter, brightness proportional to exposure and gain, saturation.
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

}  // namespace
