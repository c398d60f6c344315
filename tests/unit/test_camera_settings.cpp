// The virtual camera's settings requests, served directly: every shape of request that is
// not a get or a set of the right size is refused without touching the setting.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "camera.h"
#include "driver/ioctl.h"

namespace vcam {
namespace {

namespace io = kepra::driver;
using Bytes = std::vector<std::uint8_t>;

struct Served {
  Camera::Result result;
  Bytes out;
};

Served Serve(Camera& camera, std::uint32_t code, const Bytes& in, std::size_t out_size) {
  Served s;
  s.out.assign(out_size, 0xEE);
  s.result = camera.Serve(code, in, s.out);
  return s;
}

TEST(CameraSettings, SimpleSettingsKeepWhatWasSetAndRefuseOtherShapes) {
  // The settings with a get form (no input, the value out) and a set form (the value in,
  // nothing out) of the same size.
  const struct {
    std::uint32_t code;
    std::size_t size;
  } settings[] = {{io::IOCTL_HDR, 1},
                  {io::IOCTL_EVENTS_STATE, 1},
                  {io::IOCTL_SNAPSHOT_PARAMS, 4},
                  {io::IOCTL_STREAM_MODE, 4}};
  for (const auto& s : settings) {
    SCOPED_TRACE(s.code);
    Camera camera(0);
    Bytes value = {0x5A, 0x01, 0x80, 0xFE};
    value.resize(s.size);
    const auto set = Serve(camera, s.code, value, 0);
    ASSERT_TRUE(set.result.ok);
    EXPECT_EQ(set.result.bytes, 0u);
    // Short output of a get: 122. Anything else of the wrong size: 87.
    EXPECT_EQ(Serve(camera, s.code, {}, s.size - 1).result.error, 122u);
    EXPECT_EQ(Serve(camera, s.code, {}, s.size + 1).result.error, 87u);
    EXPECT_EQ(Serve(camera, s.code, Bytes(s.size + 1, 1), 0).result.error, 87u);
    EXPECT_EQ(Serve(camera, s.code, Bytes(s.size, 1), 1).result.error, 87u);
    const auto get = Serve(camera, s.code, {}, s.size);
    ASSERT_TRUE(get.result.ok);
    EXPECT_EQ(get.result.bytes, s.size);
    EXPECT_EQ(get.out, value);
  }
}

// A frame-parameter record from its fields.
FrameParams Record(std::uint16_t x, std::uint16_t y, std::uint16_t width, std::uint16_t height,
                   std::uint16_t depth = 10, std::uint16_t bin_x = 1, std::uint16_t bin_y = 1,
                   std::uint16_t flags = 0) {
  FrameParams r{};
  const std::uint16_t fields[] = {x, y, width, height, depth, bin_x, bin_y, flags};
  for (std::size_t i = 0; i < std::size(fields); ++i) {
    r[2 * i] = static_cast<std::uint8_t>(fields[i]);
    r[2 * i + 1] = static_cast<std::uint8_t>(fields[i] >> 8);
  }
  return r;
}

TEST(CameraSettings, FrameParamsStartAtTheFullSensorAndRefuseABadRecord) {
  Camera camera(0);
  auto get = Serve(camera, io::IOCTL_FRAME_PARAMS, {}, 26);
  ASSERT_TRUE(get.result.ok);
  const FrameParams full = Record(0, 0, 1280, 1024);
  EXPECT_TRUE(std::equal(full.begin(), full.end(), get.out.begin()));

  const FrameParams good = Record(1280 - 64, 1024 - 32, 64, 32, 12, 4, 2, 3);
  ASSERT_TRUE(Serve(camera, io::IOCTL_FRAME_PARAMS, {good.begin(), good.end()}, 0).result.ok);
  FrameParams reserved = Record(0, 0, 64, 64);
  reserved[25] = 1;
  const std::pair<const char*, FrameParams> bad[] = {
      {"zero width", Record(0, 0, 0, 64)},
      {"past the bottom edge", Record(0, 961, 64, 64)},
      {"x + width wraps 16 bits", Record(0xFFFF, 0, 2, 64)},
      {"depth 9", Record(0, 0, 64, 64, 9)},
      {"depth 16", Record(0, 0, 64, 64, 16)},
      {"binning 3", Record(0, 0, 66, 66, 10, 3, 1)},
      {"binning 0", Record(0, 0, 64, 64, 10, 1, 0)},
      {"height not divisible", Record(0, 0, 64, 66, 10, 1, 4)},
      {"unknown flag", Record(0, 0, 64, 64, 10, 1, 1, 4)},
      {"reserved byte", reserved},
  };
  for (const auto& [what, record] : bad) {
    EXPECT_FALSE(ValidFrameParams(record)) << what;
    const auto set = Serve(camera, io::IOCTL_FRAME_PARAMS, {record.begin(), record.end()}, 0);
    EXPECT_EQ(set.result.error, 87u) << what;
  }
  // Shapes other than a get of 26 or a set of 26.
  EXPECT_EQ(Serve(camera, io::IOCTL_FRAME_PARAMS, {}, 25).result.error, 122u);
  EXPECT_EQ(Serve(camera, io::IOCTL_FRAME_PARAMS, {}, 27).result.error, 87u);
  EXPECT_EQ(Serve(camera, io::IOCTL_FRAME_PARAMS, Bytes(25), 0).result.error, 87u);
  EXPECT_EQ(Serve(camera, io::IOCTL_FRAME_PARAMS, {good.begin(), good.end()}, 26).result.error,
            87u);
  EXPECT_EQ(camera.Settings().frame_params, good);
}

TEST(CameraSettings, RequestsOfTheWrongShapeAreRefused) {
  Camera camera(0);
  const Bytes entry = {1, 0, 2, 0, 3};
  ASSERT_TRUE(Serve(camera, io::IOCTL_SET_BAD_PIXELS_DATA, entry, 2).result.ok);
  ASSERT_TRUE(Serve(camera, io::IOCTL_FRONT_LED, {0xA5}, 0).result.ok);
  const struct {
    std::uint32_t code;
    Bytes in;
    std::size_t out;
    std::uint32_t error;
  } cases[] = {
      // The front LED has only a set form.
      {io::IOCTL_FRONT_LED, {}, 1, 87},
      {io::IOCTL_FRONT_LED, {1, 2}, 0, 87},
      {io::IOCTL_FRONT_LED, {1}, 1, 87},
      // Switch: get 0 -> 2, set 1 -> 1.
      {io::IOCTL_FIX_BAD_PIXELS, {}, 1, 122},
      {io::IOCTL_FIX_BAD_PIXELS, {}, 3, 87},
      {io::IOCTL_FIX_BAD_PIXELS, {1}, 0, 122},
      {io::IOCTL_FIX_BAD_PIXELS, {1, 1}, 1, 87},
      // Count: get 0 -> 2.
      {io::IOCTL_GET_BAD_PIXELS_COUNT, {}, 1, 122},
      {io::IOCTL_GET_BAD_PIXELS_COUNT, {0}, 2, 87},
      // List read: no input; list write: whole entries in, 2 bytes out, at most 1000.
      {io::IOCTL_GET_BAD_PIXELS_DATA, {0}, 5, 87},
      {io::IOCTL_SET_BAD_PIXELS_DATA, {1, 0, 2, 0}, 2, 87},
      {io::IOCTL_SET_BAD_PIXELS_DATA, entry, 1, 122},
      {io::IOCTL_SET_BAD_PIXELS_DATA, entry, 3, 87},
      {io::IOCTL_SET_BAD_PIXELS_DATA, Bytes(5 * 1001), 2, 87},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Serve(camera, c.code, c.in, c.out).result.error, c.error)
        << c.code << " in " << c.in.size() << " out " << c.out;
  }
  EXPECT_EQ(camera.Settings().front_led, 0xA5);
  EXPECT_EQ(camera.Settings().fix_bad_pixels, 0);
  EXPECT_EQ(camera.Settings().bad_pixels, (std::vector<BadPixel>{{1, 2, 3}}));
}

TEST(CameraSettings, BadPixelListReadFillsOnlyWholeEntries) {
  Camera camera(0);
  const Bytes list = {0, 0, 0, 0, 0, 1, 0, 1, 0, 1, 2, 0, 2, 0, 2, 3, 0, 3, 0, 3};
  const auto set = Serve(camera, io::IOCTL_SET_BAD_PIXELS_DATA, list, 2);
  ASSERT_TRUE(set.result.ok);
  EXPECT_EQ(set.out, (Bytes{4, 0}));
  // 13 bytes offered: two entries, the rest untouched.
  auto get = Serve(camera, io::IOCTL_GET_BAD_PIXELS_DATA, {}, 13);
  ASSERT_TRUE(get.result.ok);
  EXPECT_EQ(get.result.bytes, 10u);
  EXPECT_TRUE(std::equal(list.begin(), list.begin() + 10, get.out.begin()));
  EXPECT_EQ(get.out[10], 0xEE);
  EXPECT_EQ(Serve(camera, io::IOCTL_GET_BAD_PIXELS_DATA, {}, 50).result.bytes, 20u);
  // The switch read reports a non-empty list; set answers the previous switch.
  EXPECT_EQ(Serve(camera, io::IOCTL_FIX_BAD_PIXELS, {5}, 1).out[0], 0);
  EXPECT_EQ(Serve(camera, io::IOCTL_FIX_BAD_PIXELS, {}, 2).out, (Bytes{1, 1}));
}

}  // namespace
}  // namespace vcam
